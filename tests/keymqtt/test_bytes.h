#pragma once

#include "test_data.h"

using testsupport::bytes;
using testsupport::hex;
