#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace quavelink {

// Resource numbers of the window's pictures.
constexpr int kIconMain = 128;          //!< program icon; tray icon while a client is connected
constexpr int kBitmapPicture = 133;     //!< the picture beside the record buttons
constexpr int kBitmapStop = 134;        //!< stop button, 48 x 48
constexpr int kBitmapRecord = 135;      //!< record button, 48 x 48
constexpr int kBitmapRecordDown = 136;  //!< record button pressed (recording), 48 x 48
constexpr int kBitmapStopDown = 137;    //!< stop button pressed, 48 x 48
constexpr int kIconDisconnected = 140;  //!< tray icon while no client is connected

//! The bitmap with that number, compiled into the program; a null image for an unknown one.
//! The skin bitmaps have their transparent colour in the top-left pixel. Any thread.
QImage LoadBitmapResource(int id);

//! A skin bitmap (134 to 137) drawn for finer screens: three times the pixels, edges blended
//! into transparency, its device pixel ratio 3 (so it covers the same 48 x 48 units); a null
//! image for any other number. Any thread.
QImage LoadFineBitmapResource(int id);

//! The icon with that number in all its sizes; a null icon for an unknown one. GUI thread
//! (a QGuiApplication must exist).
QIcon LoadIconResource(int id);

//! Resource path of a picture, e.g. ":/quavelink/bitmap134.png" or
//! ":/quavelink/icon128-48.png" (icons: size in pixels, one of 16, 32, 48, 256).
QString BitmapResourcePath(int id);
QString IconResourcePath(int id, int size);

}  // namespace quavelink
