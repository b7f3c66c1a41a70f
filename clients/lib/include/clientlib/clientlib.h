// The whole client library.
#pragma once

#include "clientlib/address.h"
#include "clientlib/bytes.h"
#include "clientlib/clock.h"
#include "clientlib/color.h"
#include "clientlib/error.h"
#include "clientlib/follow.h"
#include "clientlib/image.h"
#include "clientlib/image_file.h"
#include "clientlib/io.h"
#include "clientlib/keyfile.h"
#include "clientlib/reply.h"
#include "clientlib/timing.h"
