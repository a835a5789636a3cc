#pragma once

class QLabel;
class QString;
class QWidget;

// A page's heading, styled through the `sectionTitle` object name.
QLabel* makeSectionTitle(const QString& text, QWidget* parent = nullptr);

// An empty page that shows only its heading.
QWidget* makeTitledPage(const QString& title);
