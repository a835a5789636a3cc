#pragma once

class QCoreApplication;
class QHeaderView;
class QTreeView;

// Keeps every section of header at least as wide as its own title, under
// whichever theme is applied now or later: the dark sheet sets header titles
// in capitals, which the widths chosen for the other look would cut.
void keepSectionsFitted(QHeaderView* header);

// The height a tree needs to show its header and two rows, with room for a
// horizontal scroll bar once fitted sections make it wider than its view.
int twoRowTreeHeight(const QTreeView* tree);

// From now on every header of every tree and table the application shows is
// kept fitted, and every tree keeps room for two rows, including those of
// dialogs built later.
void fitViewsEverywhere(QCoreApplication* app);
