// The few points where reporting touches the system around it.
#pragma once

#include <string>

// This machine's host name; empty when the lookup fails.
std::string hostName();
