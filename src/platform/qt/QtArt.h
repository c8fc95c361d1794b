#pragma once
// The banner and the window icon, drawn rather than shipped as image files.
#include <QIcon>
#include <QPixmap>

QPixmap BannerImage();
QIcon WindowIcon();
