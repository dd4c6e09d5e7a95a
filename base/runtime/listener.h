// A signal's listener: the record a caller owns while it listens, apart from
// the signal itself so that the runtime record can hold one per wait node.
#pragma once

struct SignalListener;
using SignalCallback = void (*)(SignalListener* listener);

// Owned by whoever registers it; `link` points at the field that points at
// this listener while it is registered, and is null otherwise.
struct SignalListener {
    SignalCallback callback;
    SignalListener** link;
    SignalListener* next;
};
