#pragma once

#include <functional>

class QWidget;

// A page's first fill (a listing that runs a tool or reads the user's keys,
// folders or clusters) waits until the page is first shown: building a window
// runs none of it, and a page the user never opens costs nothing.
namespace FirstShow {

// Makes window hold back the first fills of the pages it shows with its own
// first appearance until it is on screen, so it is drawn before any of them
// runs. Pages shown later, or in a window that holds nothing, fill at once.
void holdUntilOnScreen(QWidget* window);

// Runs fill for a page being shown for the first time: from the event loop
// right after its window is on screen when that window holds first fills and
// is not on screen yet, else at once. The fill is dropped with the page.
void fill(QWidget* page, std::function<void()> fill);

// Runs fill (through fill() above) the first time page is shown, once.
void onFirstShow(QWidget* page, std::function<void()> fill);

// Runs work from the event loop once window is on screen: at the next turn of
// the loop when it already is. Nothing runs if window goes first.
void whenOnScreen(QWidget* window, std::function<void()> work);

// Runs work from the event loop: once widget's window is on screen when that
// window holds first fills, else at the next turn of the loop. For work that
// runs whether or not its page is ever shown (a device poll).
void afterStart(QWidget* widget, std::function<void()> work);

} // namespace FirstShow
