// Marks the host functions and data that plug-ins resolve at load time.
#pragma once

#define HOST_EXPORT __attribute__((visibility("default")))
