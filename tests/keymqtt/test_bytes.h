#pragma once

#include "tests/support/test_data.h"

using testsupport::bytes;
using testsupport::hex;
