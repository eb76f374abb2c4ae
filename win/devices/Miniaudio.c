// miniaudio's implementation: WASAPI and the null backend, playback only, nothing else.
// miniaudio initialises COM on the threads that call it (and uninitialises it again even when
// that failed). The program's UI thread, which scans and opens devices, is a single-threaded
// apartment (the ASIO drivers and WIC need one): with miniaudio's default multithreaded value
// its calls there would fail and then take the thread's own apartment away.
#define MA_COINIT_VALUE 2 /* COINIT_APARTMENTTHREADED */
#define MINIAUDIO_IMPLEMENTATION
#include "miniaudio.h"
