// pyhost: the host interpreter's rules, written once for every compiled module.
//
// Everything a module needs to look and fail like ordinary Python lives here,
// one concern per header: owned references and the saved exception
// (refs.hpp), argument parsing with the interpreter's own messages
// (args.hpp), calls that pass failure along (calls.hpp), the numeric
// conversions (numbers.hpp), configuration constants (config.hpp), the
// GIL-aware lock (lock.hpp), and building a module: the exception boundary,
// method tables, state and names (module.hpp). Modules call these helpers;
// they never re-implement them.
#pragma once

#include "args.hpp"
#include "calls.hpp"
#include "compat.hpp"
#include "config.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "numbers.hpp"
#include "refs.hpp"

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
