#pragma once
// The frame every wizard page shares: heading and explanation on top, the page's own body,
// then the button row, set apart by separator lines. All wizard pages have one size, so
// that a page swap that hands one page's place to the next never squeezes a layout.
#include <QList>
#include <QSize>

class QDialog;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace sendmere::wizard {

inline constexpr QSize PageSize{600, 470};

// Builds the heading block and returns the layout the page adds its body to.
QVBoxLayout *beginPage(QDialog *page, QLabel *caption, QLabel *explanation);

// Closes the body with a separator and puts the buttons at the bottom right.
void endPage(QVBoxLayout *layout, const QList<QPushButton *> &buttons);

}  // namespace sendmere::wizard
