#pragma once
#include "canvas.h"

#include <QImage>
#include <vector>

namespace picgen {

Canvas applicationIcon();
std::vector<Canvas> mouseIcon();
QImage titleBanner();
QImage makersEmblem();

Canvas copyIcon();
std::vector<Canvas> printIcon();
Canvas helpIcon();
Canvas exitIcon();
QImage helpSheet();
QImage companyCollage();

struct SampleFigure {
    const char* path; // category folder and file name
    QImage image;
    bool palette8; // written with an 8-bit palette rather than 24 bits
};
std::vector<SampleFigure> sampleFigures();

} // namespace picgen
