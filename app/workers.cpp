#include "app/workers.h"

#include "app/journal.h"
#include "app/rewrite.h"
#include "base/alloc.h"
#include "base/output.h"
#include "base/runtime/lock.h"
#include "base/runtime/semaphore.h"
#include "base/runtime/thread.h"
#include "base/test_control.h"
#include "base/utf.h"
#include "platform/nt.h"

#include <cstring>

namespace {

enum JobState : int32_t { JOB_QUEUED, JOB_DONE, JOB_SKIPPED };

struct Job {
    char* path; // mem_malloc
    FileEntry entry;
    FileWant want;
    FileResult result;
    int32_t state; // JobState
};

constexpr uint64_t kNone = ~0ull;
constexpr uint32_t kJobsPerWorker = 4;

// The queue is a ring of jobs: those from `retired` up to `produced` are in
// flight. The walk (one thread) fills it, the workers take jobs in order
// under `claim_lock`, and the walk takes their results in order. One permit
// of `work` stands for each queued job, and one more for each worker at the
// end; a worker that claims a job past the last one leaves.
struct Crew {
    const Options* options;
    Tally* tally;
    Signal* cancel;
    Job* ring;
    uint64_t capacity;
    uint32_t workers;  // wanted
    uint32_t started;  // threads running
    uint64_t produced; // written by the walk only
    uint64_t retired;  // the walk's only
    uint64_t claimed;  // under claim_lock
    bool stopping;     // under claim_lock: an interrupt came, no job starts
    uint64_t awaited;  // the job the walk sleeps on, or kNone
#ifdef EOLSET_TEST_HOOKS
    uint64_t worker_sleeps;
    uint64_t main_waits;
    uint64_t jobs;
#endif
};

Crew g_crew;
// The locks and semaphores are never set anew: a worker that is leaving may
// still be inside sem_post(&exited) when the next run begins. Every run
// leaves them as it found them, free and without permits.
LightLock claim_lock;
Semaphore work;
Semaphore finished; // posted for the job the walk awaits
Semaphore exited;

uint64_t load(const uint64_t* p) {
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}

#ifdef EOLSET_TEST_HOOKS
void count(uint64_t* counter) {
    __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}
#define CREW_COUNT(field) count(&c->field)
#else
#define CREW_COUNT(field) ((void)0)
#endif

void run_job(const Crew* c, Job* job) {
    job->result = convert_one(c->options, job->path, &job->entry, job->want);
}

// Tells the walk that job i is over, when it sleeps on it.
void publish(Crew* c, uint64_t i, int32_t state) {
    __atomic_store_n(&c->ring[i % c->capacity].state, state, __ATOMIC_SEQ_CST);
    uint64_t expected = i;
    if (load(&c->awaited) == i && __atomic_compare_exchange_n(&c->awaited, &expected, kNone, false,
                                                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        sem_post(&finished);
}

// Claims the next job and runs it (or skips it after an interrupt). False
// when the claim lies past the last job: the caller is to leave.
bool claim_and_run(Crew* c) {
    light_lock(&claim_lock);
    uint64_t i = c->claimed++;
    if (!c->stopping && c->cancel && signal_is_set(c->cancel)) c->stopping = true;
    bool skip = c->stopping;
    light_unlock(&claim_lock);
    if (i >= load(&c->produced)) return false;
    Job* job = &c->ring[i % c->capacity];
    if (!skip) run_job(c, job);
    publish(c, i, skip ? JOB_SKIPPED : JOB_DONE);
    return true;
}

// A worker that finds the queue empty looks again for a few microseconds
// before it sleeps: the walk hands on a file about as often, and a sleep and
// its wake-up cost more.
bool take_work() {
    for (int spin = 0; spin < 256; ++spin) {
        if (sem_wait(&work, nullptr, 0)) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

void worker_main(void* argument) {
    Crew* c = static_cast<Crew*>(argument);
    journal_keep_spare(true);
    for (;;) {
        if (!take_work()) {
            CREW_COUNT(worker_sleeps);
            sem_wait(&work, nullptr, -1);
        }
        if (!claim_and_run(c)) break;
    }
    journal_keep_spare(false);
    rewrite_release_thread();
    sem_post(&exited); // the crew is the walk's again from here on
}

int32_t state_of(const Crew* c, uint64_t i) {
    return __atomic_load_n(&c->ring[i % c->capacity].state, __ATOMIC_SEQ_CST);
}

// Waits until job i is over. Without worker threads the walk runs the jobs itself.
void wait_for(Crew* c, uint64_t i) {
    if (c->started == 0) {
        while (state_of(c, i) == JOB_QUEUED && claim_and_run(c)) {
        }
        return;
    }
    if (state_of(c, i) != JOB_QUEUED) return;
    CREW_COUNT(main_waits);
    __atomic_store_n(&c->awaited, i, __ATOMIC_SEQ_CST);
    if (state_of(c, i) != JOB_QUEUED) {
        // Over meanwhile: unless its worker took the wait back to post, no post comes.
        uint64_t expected = i;
        if (__atomic_compare_exchange_n(&c->awaited, &expected, kNone, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            return;
    }
    sem_wait(&finished, nullptr, -1);
}

void retire(Crew* c, Job* job) {
    if (job->state == JOB_DONE) tally_take(c->tally, job->path, &job->entry, &job->result);
    mem_free(job->path);
    job->path = nullptr;
}

// Takes the results of the jobs that are over, in order, up to the first
// that is not.
void retire_ready(Crew* c) {
    while (c->retired < c->produced && state_of(c, c->retired) != JOB_QUEUED) {
        retire(c, &c->ring[c->retired % c->capacity]);
        ++c->retired;
    }
    tally_flush(c->tally);
}

// Frees a slot of a full ring, waiting for half the ring at once so that the
// walk sleeps seldom.
void make_room(Crew* c) {
    if (c->produced - c->retired < c->capacity) return;
    wait_for(c, c->retired + c->capacity / 2 - 1);
    retire_ready(c);
    while (c->produced - c->retired == c->capacity) {
        wait_for(c, c->retired);
        retire_ready(c);
    }
}

// The walk converts the next file itself while more files wait than there
// are threads to take them; it takes the file's permit as a worker would.
void help(Crew* c) {
    for (;;) {
        light_lock(&claim_lock);
        uint64_t waiting = c->produced - c->claimed;
        light_unlock(&claim_lock);
        if (waiting <= c->started || !sem_wait(&work, nullptr, 0)) return;
        if (!claim_and_run(c)) return;
    }
}

bool same_file(const FileEntry& a, const FileEntry& b) {
    return (a.file_id[0] | a.file_id[1]) != 0 && a.file_id[0] == b.file_id[0] &&
           a.file_id[1] == b.file_id[1] &&
           memcmp(a.volume_id, b.volume_id, sizeof a.volume_id) == 0;
}

// A file reached under a second name while the first is in flight waits for
// it, so that it finds the file as the first visit left it.
void wait_for_other_names(Crew* c, const FileEntry* entry) {
    if (c->options->test_only) return; // only read: the first visit's verdict counts, in order
    for (uint64_t i = c->produced; i > c->retired; --i) {
        if (!same_file(c->ring[(i - 1) % c->capacity].entry, *entry)) continue;
        while (c->retired < i) {
            wait_for(c, c->retired);
            retire_ready(c);
        }
        return;
    }
}

// The walk's thread is one of the workers: it starts one thread fewer, and
// converts a file itself whenever more wait than the threads can take.
void start_workers(Crew* c) {
    for (uint32_t n = 0; n + 1 < c->workers; ++n) {
        if (!thread_start(worker_main, c, nullptr, nullptr, 0)) break;
        ++c->started;
    }
    // A permit for each job queued before the threads came and not run
    // here meanwhile (a file's second name waits for the first).
    light_lock(&claim_lock);
    uint64_t waiting = c->produced - c->claimed;
    light_unlock(&claim_lock);
    if (c->started)
        for (uint64_t i = 0; i < waiting; ++i) sem_post(&work);
}

} // namespace

uint32_t default_worker_count() {
    DWORD n = GetActiveProcessorCount(0xFFFF); // every processor group
    if (n == 0) n = 1;
    return n > 16 ? 16 : static_cast<uint32_t>(n);
}

void crew_begin(const Options* options, Tally* tally, uint32_t workers, Signal* cancel) {
    Crew* c = &g_crew;
    *c = Crew{};
    c->options = options;
    c->tally = tally;
    c->cancel = cancel;
    c->awaited = kNone;
    c->workers = workers > MAX_WORKERS ? MAX_WORKERS : workers;
    // Each thread writes its rewrites' journals over its last one.
    journal_keep_spare(true);
    if (c->workers <= 1) return;
    c->capacity = kJobsPerWorker * c->workers;
    c->ring = static_cast<Job*>(mem_calloc(c->capacity, sizeof(Job)));
    if (!c->ring) c->workers = 1; // one file after another, as they come
}

void crew_convert(const char* path, const FileEntry* entry, FileWant want) {
    Crew* c = &g_crew;
    if (c->workers <= 1) {
        tally_convert(c->tally, c->options, path, entry, want);
        return;
    }
    wait_for_other_names(c, entry);
    make_room(c);
    Job* job = &c->ring[c->produced % c->capacity];
    uint64_t n = str_len(path) + 1;
    job->path = static_cast<char*>(mem_malloc(n));
    if (!job->path) {
        // No memory to queue it: converted here, after those before it.
        crew_drain();
        tally_convert(c->tally, c->options, path, entry, want);
        return;
    }
    memcpy(job->path, path, n);
    job->entry = *entry;
    job->want = want;
    job->result = FileResult{};
    job->state = JOB_QUEUED;
    __atomic_store_n(&c->produced, c->produced + 1, __ATOMIC_SEQ_CST);
#ifdef EOLSET_TEST_HOOKS
    ++c->jobs;
#endif
    if (c->started)
        sem_post(&work);
    else if (c->produced == 2)
        start_workers(c); // a tree of one file needs no thread
    if (c->started) help(c);
    retire_ready(c);
}

void crew_drain() {
    Crew* c = &g_crew;
    while (c->retired < c->produced) {
        wait_for(c, c->retired);
        retire_ready(c);
    }
}

void crew_end() {
    Crew* c = &g_crew;
    journal_keep_spare(false);
    if (c->workers <= 1) return;
    crew_drain();
    for (uint32_t n = 0; n < c->started; ++n) sem_post(&work);
    for (uint32_t n = 0; n < c->started; ++n) sem_wait(&exited, nullptr, -1);
#ifdef EOLSET_TEST_HOOKS
    // For the benchmark of the hand-overs' cost.
    char16_t flag[4];
    if (GetEnvironmentVariableW(reinterpret_cast<LPCWSTR>(u"EOLSET_CREW_STATS"),
                                reinterpret_cast<LPWSTR>(flag), 4) != 0)
        print_err("crew: %llu files, %u threads, %llu worker sleeps, %llu walk waits\n",
                  static_cast<unsigned long long>(c->jobs), c->started,
                  static_cast<unsigned long long>(c->worker_sleeps),
                  static_cast<unsigned long long>(c->main_waits));
#endif
    mem_free(c->ring);
    c->ring = nullptr;
}

#ifdef EOLSET_TEST_HOOKS
CrewStats crew_stats() {
    const Crew* c = &g_crew;
    return CrewStats{c->jobs, c->worker_sleeps, c->main_waits, c->started};
}
#endif
