#pragma once

class QHeaderView;

// Keeps every section of header at least as wide as its own title, under
// whichever theme is applied now or later: the dark sheet sets header titles
// in capitals, which the widths chosen for the other look would cut.
void keepSectionsFitted(QHeaderView* header);
