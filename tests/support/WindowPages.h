#pragma once

class MainWindow;
class QTextEdit;

// The main window lists its keys in the background and builds a page when it
// is first shown: these wait for the one and build the other, as a test that
// looks at them needs.

// Lets the window start the listing it asked for at construction, if it has
// not yet, and waits (up to 20 s) until no key listing of the window is
// running, so the device list and the status bar show the last one; false
// when it is still running then.
bool keysListed(MainWindow& window);

// The Session Log page's view, the page built first if it was not yet.
QTextEdit* sessionLogView(MainWindow& window);

// Writes the user profile as a first start does, so that a window built
// afterwards makes no openssl run of its own once it is on screen; false
// when it could not be written.
bool profileStored();
