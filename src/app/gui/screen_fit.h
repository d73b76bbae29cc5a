#pragma once

#include <QSize>

class QWidget;

namespace orvane {

// Gives a top-level window its designed client size, or less where the work
// area of its screen is smaller, and centres it there with its frame (title
// bar included) inside, so that no control is out of reach on a small screen.
void FitOnScreen(QWidget& AWindow, QSize ADesigned);

}  // namespace orvane
