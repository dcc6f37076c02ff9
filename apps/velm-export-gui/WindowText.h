// The window's own texts in the user's language: the table "Window" of the program's main
// bundle (share/velm-export-gui/<language>.lproj/Window.strings), chosen from the user's
// preferred languages as the plug-in's panel chooses its own. The key is the English text, so
// that a missing entry still reads well.
#pragma once

#include <QString>

namespace velmexport {

QString windowText(const char* english);

}  // namespace velmexport
