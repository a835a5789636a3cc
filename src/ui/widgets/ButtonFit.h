#pragma once

class QPushButton;
class QWidget;

// Gives button the width a page asks for, but never less than its own text
// needs under the theme applied now or later: a fixed width chosen for one
// font cuts the label under another. 0 leaves the width to the text alone.
void fitButtonToText(QPushButton* button, int width = 0, int height = 0);

// Wraps a page whose rows would otherwise be squeezed below their natural
// height in a frameless scroll area, so each row and button keeps its size
// and the page scrolls instead at small window sizes.
QWidget* scrollablePage(QWidget* page);
