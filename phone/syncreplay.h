#pragma once

#include "phone/sdkphone.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <optional>

// The replay side of synchronised operation: one detached thread per target phone signs the
// controlling user into the phone, then sends it the master's input in the order recorded. The
// thread relies on the library delivering one phone's requests in call order.
namespace syncreplay {

// Most replay requests one phone has outstanding at once. Sending a large backlog in one go would
// meet the library's busy limit once many phones mirror it, and a refused event is a lost event.
constexpr int window = 32;

// The pieces a replay thread is made of, shared by synchronised operation and recorded macros so
// that both send with the same calls and log the same failures. A thread that sent anything calls
// waitForAnswers before it lets go of the phone: the answers' callbacks use it.
//
// Replay thread; takes the login mutex, then the phone's event mutex. Signs the controlling user
// into the phone and waits for the answer while `wanted` holds (checked at least every 100 ms).
void login(SDKPhone &phone, SdkSession *session, const std::function<bool()> &wanted);
// Whether sendEvent has a call for this SyncEventType.
bool replayable(int type);
// Replay thread; takes the phone's event mutex. Sends one replayable event once the phone has room
// in its window. `session` is the phone's identity with `extra` pointing at the phone.
void sendEvent(SDKPhone &phone, SdkSession *session, const SyncEvent &event);
// Replay thread; takes the phone's event mutex. Returns once every request sent has been answered.
void waitForAnswers(SDKPhone &phone);

// Pool worker (the start task); takes the phone's event mutex. Starts the phone's replay thread
// if it is a sync target and none runs; a thread still draining an earlier session carries on.
void start(const std::shared_ptr<SDKPhone> &phone);

// Pool worker (the stop task); takes the login mutex. Forgets every login; a replay thread still
// waiting for one stops waiting.
void clearLogins();

// Any thread; takes the login mutex. -1 pending, 0 logged in, 1 failed; empty when not listed.
std::optional<int> loginState(const QByteArray &deviceId);

// Any thread. Replay threads started and not yet ended, process-wide.
int liveThreads();

} // namespace syncreplay
