#pragma once
// A program asked to stop by SIGTERM, SIGINT or SIGHUP (the session ends, kill, Ctrl+C) leaves by
// its normal quit path, so that the core stops and saves its files as when the user quits. The
// handler only writes the signal's number to a pipe, all a handler may safely do; a socket notifier
// on the pipe's other end calls `quit` in the event loop of the thread that installed it. The
// handler then gives the three signals their default action back: a second one, should the quit
// path hang, ends the process at once.
//
// Call once, from the thread whose event loop is to run `quit` (the main thread), once the
// application object exists. False when the pipe could not be made (the signals keep their action).

#include <functional>

bool QuitOnSignals(std::function<void(int signal)> quit);
