// The next run's half of the rewrite: every rewrite a journal records is
// finished, once the journal and its file are proved to be in the state the
// rewrite left them in; anything else is left as it is and named.
#pragma once

// Finishes every rewrite left in a journal by an earlier run, saying so on
// standard error. With `list_only` the journals are only checked and named.
// False when one could not be finished or is kept.
bool rewrite_recover(bool list_only);
