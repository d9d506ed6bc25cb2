#pragma once
// The thread pools of the core's blocking work, one per kind, so that no kind can hold up the
// other: the transfer pool runs the block transfers (uploads and downloads: hashing, reading,
// compression and their exchanges), sized by the transfer budget; the control pool runs the
// engine's control requests (configuration, login, user details, node lists, folder operations,
// version polls, copies), small and of its own, so that slow or held transfers never delay them.
// Results go back to the engine thread as events; nothing here knows the engine.
//
// Threads: any thread may call every function.

#include <QThreadPool>

#include <functional>

namespace WorkPools {

// Threads of the control pool. The engine runs at most kControlThreads - 2 folder operations at
// once, so that a login, a user-details request or a node list always finds a thread.
constexpr int kControlThreads = 6;
// Bounds of the transfer pool.
constexpr int kMinTransferThreads = 8;
constexpr int kMaxTransferThreads = 64;

QThreadPool& Transfers();
QThreadPool& Control();

// Runs `work` on `pool`. The hand-over is visible to ThreadSanitizer, and the pool thread keeps no
// OpenSSL state afterwards (its end may come while the process exits).
void Start(QThreadPool& pool, std::function<void()> work);

// The transfer threads for a budget of `uploads` and `downloads` (weights of running tasks):
// two exchanges per unit, the blocks a file keeps in flight by default, within the bounds.
int TransferThreadsFor(double uploads, double downloads);
// Sizes the transfer pool for that budget (running work is never cut short).
void SizeTransfers(double uploads, double downloads);

} // namespace WorkPools
