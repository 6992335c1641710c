// Not built: the build's core check must refuse this header (see
// tests/CMakeLists.txt).
#pragma once

#include <QWidget>
