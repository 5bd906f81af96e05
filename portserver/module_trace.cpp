// The release trace context of the serial port server.
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)
