#include "event_delivery.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

#include "event_runs.h"
#include "message_box.h"
#include "process.h"
#include "remote_clock.h"

constexpr int32_t HeldAtMost = 256;   // events waiting, running or waiting for a retry, together
constexpr int32_t WaitingAtMost = 32;  // for their first run; fall, help, ok and stopped go beyond
constexpr int32_t RunsAtOnce = 8;      // stopped, and at the end the waiting events, go beyond
constexpr int64_t RunLimitMs = 60000;  // then SIGTERM,
constexpr int64_t KillAfterStopMs = 5000;  // and SIGKILL this long after
// Between one try's start and the next: these, then the last again and again.
constexpr int64_t RetryAfterMs[] = {10000, 30000, 60000, 120000, 300000};
constexpr int32_t RetryDelays = sizeof RetryAfterMs / sizeof RetryAfterMs[0];
constexpr int64_t RetryForMs = 3600000;  // from the first try
constexpr int64_t HeartbeatEveryMs = 300000;
constexpr int64_t StoppedWaitMs = 5000;
constexpr int64_t NothingDue = INT64_MAX;
constexpr int32_t PathBytes = 4096;

// Trouble that keeps heartbeats back, one bit each.
constexpr uint32_t RemoteLost = 1, BatteryLow = 2, SoundMute = 4;

enum HeldState : uint8_t { Unused, Waiting, Running, Resting };  // Resting: until its retry

struct HeldEvent {
    const char* name;
    int64_t time;     // seconds since the epoch, when it happened
    uint64_t order;   // raised before every event with a higher one
    HeldState state;
    int32_t run;
    int32_t tries;
    int64_t firstTryMs;
    int64_t tryMs;    // when the last try started
    int64_t retryMs;  // Resting: when the next may start
    bool stopSent, killSent;
};

static char CommandPath[PathBytes];
static std::atomic<bool> Ready{false};  // a command to run: RaiseEvent hands events over
static std::mutex DeliveryLock;          // over everything below but the thread itself; never taken by RaiseEvent
static std::condition_variable StoppedSettledChanged;
static HeldEvent Held[HeldAtMost];
static uint64_t NextOrder;
static uint32_t Trouble;
static bool Started;
static bool Stopping;        // the end: no retries, no heartbeats, the waiting all started
static bool StoppedSettled;  // stopped ran, or could not, or was never raised
static int64_t HeartbeatDueMs = NothingDue;

static std::thread DeliveryThread;
static bool ThreadRunning;
static std::atomic<bool> ThreadQuit{false};

static bool Named(const HeldEvent& held, const char* name) { return held.name == name; }

static bool NeverDropped(const char* name) {
    return name == FallEvent || name == HelpEvent || name == OkEvent || name == StoppedEvent;
}

// The oldest held event in `state` that passes the test, or -1.
template <typename Test>
static int32_t Oldest(HeldState state, Test test) {
    int32_t oldest = -1;
    for (int32_t i = 0; i < HeldAtMost; ++i)
        if (Held[i].state == state && test(Held[i]) && (oldest < 0 || Held[i].order < Held[oldest].order)) oldest = i;
    return oldest;
}

// With the lock held.
static void Hold(const char* name, int64_t time) {
    int32_t waiting = 0;
    for (const HeldEvent& held : Held) waiting += held.state == Waiting ? 1 : 0;
    if (waiting >= WaitingAtMost && name != StoppedEvent) {
        int32_t room = Oldest(Waiting, [](const HeldEvent& h) { return Named(h, HeartbeatEvent); });
        if (room < 0) room = Oldest(Waiting, [](const HeldEvent& h) { return !NeverDropped(h.name); });
        if (room >= 0)
            Held[room].state = Unused;
        else if (!NeverDropped(name))
            return;  // the waiting are all of those that stay: this one gives way
    }
    int32_t slot = Oldest(Unused, [](const HeldEvent&) { return true; });
    // Full: one waiting for a retry has been tried at least once, and goes first.
    if (slot < 0) slot = Oldest(Resting, [](const HeldEvent&) { return true; });
    if (slot < 0) slot = Oldest(Waiting, [](const HeldEvent& h) { return !NeverDropped(h.name); });
    if (slot < 0) return;
    Held[slot] = HeldEvent{name, time, NextOrder++, Waiting, NoRun, 0, 0, 0, 0, false, false};
}

// The hand-over from the threads that raise events to the delivery: a ring that raising never
// waits on, as the delivery thread may be holding DeliveryLock or be off the processor.
constexpr uint32_t HandedAtMost = 256;
struct Handed {
    const char* name;
    int64_t time;
    bool over;  // TroubleOver rather than an event
};
static Handed HandedOver[HandedAtMost];
static std::atomic<uint32_t> HandedIn{0}, HandedOut{0};  // counts; the ring holds their difference
static std::mutex RaiseLock;  // between raising threads only: the delivery never takes it

static void HandOver(const char* name, bool over) {
    if (!Ready.load()) return;
    {
        std::lock_guard<std::mutex> hold(RaiseLock);
        const uint32_t in = HandedIn.load(std::memory_order_relaxed);
        // Full only if the delivery thread has taken nothing for 256 events: this one is lost.
        if (in - HandedOut.load(std::memory_order_acquire) == HandedAtMost) return;
        HandedOver[in % HandedAtMost] = Handed{name, static_cast<int64_t>(std::time(nullptr)), over};
        HandedIn.store(in + 1, std::memory_order_release);
    }
    WakeRunWaiter();
}

void RaiseEvent(const char* event) { HandOver(event, false); }

void TroubleOver(const char* event) { HandOver(event, true); }

static uint32_t TroubleOf(const char* event) {
    return event == LostEvent ? RemoteLost : event == BatteryLowEvent ? BatteryLow : event == NoSoundEvent ? SoundMute : 0;
}

// With the lock held: takes what was handed over, in order.
static void TakeHandedOver() {
    const uint32_t in = HandedIn.load(std::memory_order_acquire);
    for (uint32_t out = HandedOut.load(std::memory_order_relaxed); out != in; ++out) {
        const Handed& handed = HandedOver[out % HandedAtMost];
        if (handed.over) {
            Trouble &= ~TroubleOf(handed.name);
        } else if (!Stopping) {
            Hold(handed.name, handed.time);
            Started = Started || handed.name == StartedEvent;
            Trouble |= TroubleOf(handed.name);
            if (handed.name == BackEvent) Trouble &= ~RemoteLost;
        }
        HandedOut.store(out + 1, std::memory_order_release);
    }
}

// With the lock held: a try that did not go through.
static void TryFailed(HeldEvent& held, int64_t now) {
    if (Named(held, StoppedEvent)) StoppedSettled = true;
    const int64_t retry = std::max(now, held.tryMs + RetryAfterMs[std::min(held.tries, RetryDelays) - 1]);
    held.state = Stopping || retry - held.firstTryMs > RetryForMs ? Unused : Resting;
    held.retryMs = retry;
}

static void RunEnded(int32_t run, bool wentThrough, int64_t now) {
    for (HeldEvent& held : Held) {
        if (held.state != Running || held.run != run) continue;
        if (Named(held, StoppedEvent)) StoppedSettled = true;
        if (wentThrough)
            held.state = Unused;
        else
            TryFailed(held, now);
        return;
    }
}

// The next event to start, in the order they were raised, or -1.
static int32_t NextToStart(int64_t now, int32_t running) {
    int32_t next = -1;
    for (int32_t i = 0; i < HeldAtMost; ++i) {
        const HeldEvent& held = Held[i];
        const bool runFree = running < RunsAtOnce;
        // At the end every waiting event may start, but one run is always left for stopped.
        const bool endRunFree = Stopping && running < RunsAtMost - 1;
        const bool may = held.state == Waiting ? endRunFree || runFree || Named(held, StoppedEvent)
                         : held.state == Resting && !Stopping && runFree && held.retryMs <= now;
        if (may && (next < 0 || held.order < Held[next].order)) next = i;
    }
    return next;
}

int64_t DeliverEvents(int64_t nowMs) {
    std::lock_guard<std::mutex> hold(DeliveryLock);
    TakeHandedOver();
    int32_t wentThrough = 0;
    for (int32_t run; (run = TakeEndedRun(&wentThrough)) != NoRun;) RunEnded(run, wentThrough != 0, nowMs);
    int64_t due = NothingDue;
    if (Started && !Stopping) {
        if (HeartbeatDueMs == NothingDue) HeartbeatDueMs = nowMs + HeartbeatEveryMs;  // the first after started
        if (nowMs >= HeartbeatDueMs) {
            if (Trouble == 0) Hold(HeartbeatEvent, static_cast<int64_t>(std::time(nullptr)));
            // One heartbeat for all that were due: a machine that slept owes none.
            while (HeartbeatDueMs <= nowMs) HeartbeatDueMs += HeartbeatEveryMs;
        }
        due = HeartbeatDueMs;
    }
    int32_t running = 0;
    for (HeldEvent& held : Held) {
        if (held.state == Resting) due = std::min(due, held.retryMs);
        if (held.state != Running) continue;
        if (!Named(held, StoppedEvent)) ++running;
        if (!held.stopSent && nowMs >= held.tryMs + RunLimitMs) {
            StopRun(held.run);
            held.stopSent = true;
        }
        if (!held.killSent && nowMs >= held.tryMs + RunLimitMs + KillAfterStopMs) {
            KillRun(held.run);
            held.killSent = true;
        }
        if (!held.killSent) due = std::min(due, held.tryMs + RunLimitMs + (held.stopSent ? KillAfterStopMs : 0));
    }
    for (int32_t next; (next = NextToStart(nowMs, running)) >= 0;) {
        HeldEvent& held = Held[next];
        if (held.tries++ == 0) held.firstTryMs = nowMs;
        held.tryMs = nowMs;
        held.stopSent = held.killSent = false;
        const int32_t run = StartRun(CommandPath, held.name, held.time);
        held.run = run;
        held.state = Running;
        if (run == NoRun) {
            TryFailed(held, nowMs);
            if (held.state == Resting) due = std::min(due, held.retryMs);
            continue;
        }
        if (!Named(held, StoppedEvent)) ++running;
        due = std::min(due, nowMs + RunLimitMs);
    }
    if (StoppedSettled) StoppedSettledChanged.notify_all();
    return due;
}

static void Reset() {
    std::lock_guard<std::mutex> hold(DeliveryLock);
    HandedOut.store(HandedIn.load());
    for (HeldEvent& held : Held) held = HeldEvent{};
    NextOrder = 0;
    Trouble = 0;
    Started = Stopping = StoppedSettled = false;
    HeartbeatDueMs = NothingDue;
}

int32_t ReadyEventDelivery() {
    Ready = false;
    Reset();
    const int32_t found = FindEventCommand(CommandPath, PathBytes);
    if (found == EventCommandRefused) ShowNotice(RefusedNotice);
    if (found != EventCommandUsable) return 0;
    BeginRuns();
    Ready = true;
    return 1;
}

// Raises stopped, when started was, and lets the end begin.
static void BeginStopping() {
    std::lock_guard<std::mutex> hold(DeliveryLock);
    if (Stopping) return;
    TakeHandedOver();
    if (Started) Hold(StoppedEvent, static_cast<int64_t>(std::time(nullptr)));
    StoppedSettled = !Started;
    Stopping = true;
}

static bool Settled() {
    std::lock_guard<std::mutex> hold(DeliveryLock);
    return StoppedSettled;
}

// Sleeps between deadlines only: no wake-up while nothing is due. An ending signal ends the
// process once stopped has gone out, or 5 s after it.
static void DeliverOnThread() {
    int32_t endingSignal = 0;
    int64_t endByMs = NothingDue;
    for (;;) {
        int64_t now = RemoteClockMs();
        if (endingSignal == 0 && (endingSignal = EndingSignalCaught()) != 0) {
            BeginStopping();
            endByMs = now + StoppedWaitMs;
        }
        int64_t due = DeliverEvents(now);
        // Quitting, after that last round: what waited at the end has been started.
        if (ThreadQuit.load()) return;
        if (endingSignal != 0) {
            if (Settled() || now >= endByMs) {
                EndBySignal(endingSignal);
                return;
            }
            due = std::min(due, endByMs);
        }
        AwaitRuns(due == NothingDue ? AwaitWithoutLimit
                                    : static_cast<int32_t>(std::clamp<int64_t>(due - now, 0, INT32_MAX)));
    }
}

void BeginEventDelivery() {
    if (ReadyEventDelivery() == 0) return;
    ThreadQuit = false;
    BeginStartingThreads();  // signals stay with the main thread
    try {
        DeliveryThread = std::thread(DeliverOnThread);
        ThreadRunning = true;
    } catch (const std::system_error&) {
        // No thread: events are held and never run; the alarm itself goes on.
    }
    EndStartingThreads();
}

void EndEventDelivery() {
    if (!Ready.load()) return;
    BeginStopping();
    WakeRunWaiter();
    {
        std::unique_lock<std::mutex> hold(DeliveryLock);
        StoppedSettledChanged.wait_for(hold, std::chrono::milliseconds(StoppedWaitMs), [] { return StoppedSettled; });
    }
    if (ThreadRunning) {
        ThreadQuit = true;
        WakeRunWaiter();
        DeliveryThread.join();
        ThreadRunning = false;
    }
    EndRuns();
    Ready = false;
}
