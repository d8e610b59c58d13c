// The window's part of the video placeholder: the palette's button colour and the file type's icon
// from the desktop's icon theme.
#pragma once

namespace tilvo {

// Installs the placeholder style for video files: the application palette's button colour and a
// hook that draws the icon of the file's type (by its name, through the MIME database and the icon
// theme) with its top-left corner at (16, 16). Call once the QApplication exists.
void InstallVideoPlaceholderIcon();

}  // namespace tilvo
