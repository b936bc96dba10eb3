#pragma once

#include <QFont>

namespace quillmar {

// Makes sure the compiled-in resource collection "Resources" (logotypes, icon, spinner,
// display font) is registered. The collection registers itself before main runs; calling
// this also keeps its object file in every program that links the application library.
// Registering twice is harmless.
void register_resources();

// The display font: only its family is set (point size and weight stay unset, so style
// sheets and parents decide them). The font file is added to the application's font
// database once, on first use; should it yield no family, the default application font
// is returned instead. Needs a QGuiApplication.
QFont display_font();

} // namespace quillmar
