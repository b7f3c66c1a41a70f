// The opaque types of the plug-in interface, as the host defines them.
#pragma once

#include "byte_buffer.h"
#include "pointer_queue.h"
#include "plugin_api.h"

struct CBuffer : plughost::ByteBuffer {
    using plughost::ByteBuffer::ByteBuffer;
};

struct Queue : plughost::PointerQueue {};
