#pragma once
// The application's life between the login window and the main window: the modal login window
// runs until the core has finished its first login, then the main window runs in the
// application's event loop until the user quits, changes the account (back to the login
// window's input page) or changes the enterprise (back to its loading page while the core starts
// for the picked enterprise). Each change builds a fresh main window; the process goes on.
//
// Needs the application object (and its style); user-interface thread only.

// Runs the loop and returns the process status: 0 when the login window was closed, else the
// event loop's result once a main window ended without a change. The core has stopped by then.
int RunLoginLoop();
