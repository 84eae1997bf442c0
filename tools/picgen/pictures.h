#pragma once
#include "canvas.h"

#include <QImage>
#include <vector>

namespace picgen {

Canvas applicationIcon();
std::vector<Canvas> mouseIcon();
QImage titleBanner();
QImage makersEmblem();

} // namespace picgen
