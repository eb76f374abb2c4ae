#pragma once

// The program's version, in one place for the code, the resource script and the protocol.
// Plain macros so that the resource compiler can read this file too.
#define QOVA_VERSION_MAJOR 0
#define QOVA_VERSION_MINOR 1
#define QOVA_VERSION_PATCH 2
#define QOVA_VERSION_TEXT "0.1.2"
#define QOVA_PRODUCT_NAME "QOVA"
