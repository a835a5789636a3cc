#pragma once

class TerminalWidget;

// Ends a terminal session whose program is the recording stand-in: it reads
// its input to the end first. Fails the test when the session does not end.
void endStandIn(TerminalWidget* terminal);
