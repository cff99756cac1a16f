// The host's log in its unit tests (see LogSink.cpp).
#pragma once

#include <string>
#include <vector>

#include "dlog.h"

// Whether a line logged so far contains `part`.
bool LogHas(const std::string& part);
