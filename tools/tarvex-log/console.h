// The console window tarvex-log writes to. Explorer starts a console program (one that a log was
// dropped on, or that was double-clicked) in a console window of its own, which closes as the
// program ends: what it said would be gone before anyone could read it.
#pragma once

namespace tarvexlog {

// True when the console is this program's alone, no shell sharing it, and its input is the
// keyboard: the window closes with the program. False in a terminal, with input from a file or a
// pipe, and on systems other than Windows.
bool ConsoleIsOwn();

// Asks for a key on standard error and waits for one.
void WaitForKey();

} // namespace tarvexlog
