#include "lua_vm.h"

#include <new>

#include "common/log_text.h"
#include "pack_to_lua_converter.h"
#include "protected_call.h"
#include "time_limit_guard.h"

namespace vek {

namespace {

const char* const kNoResources = "Dock command service error. Failed to allocate resources for job.";
const char* const kLoadFailed = "Dock command service error. Failed to load command script.";
const char* const kScriptFailed =
    "Dock command service error. Command script failure, please consult vek-command logs.";
const char* const kInvalidArgs = "Dock command service error. Invalid job arguments.";

// Entries of the globals and of package.loaded once the standard libraries are open (37 and 10
// in Lua 5.2), rounded up to the power of two Lua gives a table's hash part.
constexpr int kGlobalsSize = 64;
constexpr int kLoadedSize = 16;

// The C functions below run under lua_pcall (see callProtected) and may raise; they own nothing.

int openStandardLibraries(lua_State* L)
{
    // The globals and the loaded modules in tables of the size they grow to while the libraries
    // are opened, so that they are not rehashed on the way there.
    lua_createtable(L, 0, kGlobalsSize);                 // globals
    lua_rawseti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); //
    lua_createtable(L, 0, kLoadedSize);                  // loaded
    lua_setfield(L, LUA_REGISTRYINDEX, "_LOADED");       //
    luaL_openlibs(L);
    return 0;
}

int setVekEnv(lua_State* L) // ud
{
    const char* staging_dir = static_cast<const char*>(lua_touserdata(L, 1));
    lua_createtable(L, 0, 0);           // ud env
    lua_pushstring(L, staging_dir);     // ud env dir
    lua_setfield(L, -2, "staging_dir"); // ud env
    lua_setglobal(L, "vekenv");         // ud
    return 0;
}

struct PathExtensions {
    const char* path;
    const char* cpath;
};

int extendPackagePaths(lua_State* L) // ud
{
    const auto* ext = static_cast<const PathExtensions*>(lua_touserdata(L, 1));
    lua_getglobal(L, "package");   // ud package
    lua_getfield(L, -1, "path");   // ud package path
    lua_pushstring(L, ext->path);  // ud package path ext
    lua_concat(L, 2);              // ud package path..ext
    lua_setfield(L, -2, "path");   // ud package
    lua_getfield(L, -1, "cpath");  // ud package cpath
    lua_pushstring(L, ext->cpath); // ud package cpath ext
    lua_concat(L, 2);              // ud package cpath..ext
    lua_setfield(L, -2, "cpath");  // ud package
    return 0;
}

struct LoadRequest {
    const char* path;
    const char* mode;
    int status;
};

int loadChunk(lua_State* L) // ud -> ud chunk|message
{
    auto* request = static_cast<LoadRequest*>(lua_touserdata(L, 1));
    request->status = luaL_loadfilex(L, request->path, request->mode);
    return 1;
}

int setArgs(lua_State* L) // ud v -> ud
{
    lua_setglobal(L, "args");
    return 0;
}

// A number becomes its string form (which allocates); other values come back unchanged.
int toText(lua_State* L) // ud v -> ud v'
{
    lua_tolstring(L, 2, nullptr);
    lua_settop(L, 2);
    return 1;
}

int onPanic(lua_State* L)
{
    // Everything that can raise runs protected, so this is a fault in the job runner itself.
    try {
        const char* text = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "error object is not a string";
        log4cpp::Category::getInstance("script").fatal("PANIC: unprotected error in call to Lua API (%s)", text);
    } catch (...) {
    }
    return 0; // Lua aborts
}

} // namespace

LuaVM::LuaVM(const std::vector<std::string>& search_dirs, const char* staging_dir, std::unique_ptr<JobBudget> budget)
    : log(log4cpp::Category::getInstance("script")), _staging_dir(staging_dir), _search_dirs(search_dirs),
      _budget(std::move(budget))
{}

LuaVM::~LuaVM()
{
    // Before _budget goes: lua_close still frees through it.
    close();
}

bool LuaVM::openState()
{
    // The budget is the allocator of the open state, so that state goes first.
    close();
    if (!_budget)
        _budget.reset(new (std::nothrow) JobBudget);
    if (!_budget)
        return false;
    _budget->reset(_limits);
    _L.reset(lua_newstate(_budget->allocator(), _budget.get()));
    return static_cast<bool>(_L);
}

int LuaVM::openLibraries()
{
    lua_State* L = _L.get();
    lua_atpanic(L, &onPanic);
    // As the stand-alone interpreter does: the libraries make no garbage, and collection cycles
    // over them while they are opened would cost about as much as opening them. The collector
    // runs again once the environment is set (startCollector).
    lua_gc(L, LUA_GCSTOP, 0);
    // Under a memory limit even the libraries may not fit.
    return callProtected(L, &openStandardLibraries, nullptr, 0, 0);
}

void LuaVM::startCollector() { lua_gc(_L.get(), LUA_GCRESTART, 0); }

bool LuaVM::open()
{
    if (!openState()) {
        log.error("Failed to create a new Lua instance.");
        return false;
    }
    const int status = openLibraries();
    if (status != LUA_OK) {
        logLuaError(status);
        log.error("Failed to create a new Lua instance.");
        close();
        return false;
    }
    return true;
}

bool LuaVM::prepare()
{
    _prepared = false;
    if (!openState() || openLibraries() != LUA_OK || addVekEnv() != LUA_OK || addSearchDirs() != LUA_OK) {
        close();
        return false;
    }
    startCollector();
    _prepared = true;
    return true;
}

void LuaVM::close()
{
    if (_L && _budget)
        _budget->beginClose(_L.get());
    _L.reset();
    _prepared = false;
}

std::unique_ptr<JobBudget> LuaVM::takeBudget()
{
    close();
    // Forgets the closed state's memory, keeping only a bounded part resident.
    if (_budget)
        _budget->reset(_limits);
    return std::move(_budget);
}

JobResult LuaVM::executeScript(const char* abs_path, const msgpack::object& args)
{
    if (!_prepared) {
        if (!_L && !open())
            return JobResult(false, kNoResources);
        lua_settop(_L.get(), 0);
        int status = addVekEnv();
        if (status == LUA_OK)
            status = addSearchDirs();
        if (status != LUA_OK) {
            logLuaError(status);
            lua_settop(_L.get(), 0);
            return JobResult(false, kNoResources);
        }
        startCollector();
    }
    // A prepared state serves this one job.
    _prepared = false;
    lua_State* L = _L.get();
    lua_settop(L, 0);
    if (!_budget->charge(_request_bytes)) {
        log.error("failure: the request's %zu bytes leave no room in the job memory limit of %zu KB", _request_bytes,
                  _limits.memory_limit_kb);
        return JobResult(false, kNoResources);
    }

    if (log.isDebugEnabled())
        log.debug("luaL_loadfile: %s", escaped(abs_path).c_str());
    // "t": source text only, unless precompiled chunks are allowed.
    LoadRequest request{abs_path, _limits.precompiled_chunks ? "bt" : "t", LUA_OK};
    int status = callProtected(L, &loadChunk, &request, 0, 1); // chunk|message
    if (status == LUA_OK)
        status = request.status;
    if (status != LUA_OK) {
        logLuaError(status);
        return JobResult(false, kLoadFailed);
    }

    if (!loadArgs(args))
        return JobResult(false, kInvalidArgs);

    if (_limits.time_limit_ms != 0) {
        status = callProtected(L, &protectTimeLimit, nullptr, 0, 0);
        if (status != LUA_OK) {
            logLuaError(status);
            return JobResult(false, kNoResources);
        }
    }

    if (log.isDebugEnabled())
        log.debug("lua_pcall: %s", escaped(abs_path).c_str());
    _budget->startClock(L);
    status = lua_pcallk(L, 0, LUA_MULTRET, 0, 0, nullptr); // results...|error
    if (status != LUA_OK) {
        logLuaError(status);
        return JobResult(false, kScriptFailed);
    }
    if (_budget->timeLimitHit()) {
        // The limit struck in a coroutine whose error the script caught, and the main thread
        // returned before its own hook came round: the job still ran out of time.
        log.error("failure: job time limit of %u ms exceeded", _limits.time_limit_ms);
        return JobResult(false, kScriptFailed);
    }

    JobResult result(true, "");
    if (!unloadAnswer(result.getAnswer()))
        return JobResult(false, kScriptFailed);
    return result;
}

int LuaVM::addVekEnv() { return callProtected(_L.get(), &setVekEnv, const_cast<char*>(_staging_dir), 0, 0); }

int LuaVM::addSearchDirs()
{
    // Built out here: the protected function must own nothing, as an error unwinds it.
    std::string path_ext;
    std::string cpath_ext;
    for (const auto& dir : _search_dirs) {
        const char* separator = !dir.empty() && dir.back() == '/' ? "" : "/";
        path_ext.append(";").append(dir).append(separator).append("?.lua");
        cpath_ext.append(";").append(dir).append(separator).append("?.so");
    }
    PathExtensions ext{path_ext.c_str(), cpath_ext.c_str()};
    return callProtected(_L.get(), &extendPackagePaths, &ext, 0, 0);
}

bool LuaVM::loadArgs(const msgpack::object& args)
{
    log.debug("loading args onto Lua stack");
    lua_State* L = _L.get();
    const int base = lua_gettop(L);
    std::string cause;
    try {
        // The converter is fed from the decoded object itself, with the parser's sequence of
        // events. Packing the object again would turn a float that holds a whole number into an
        // integer on the way, with an out-of-range conversion for 2^64, and -0.0 into 0.
        PackToLuaConverter converter(L);
        msgpack::object_parser(args).parse(converter);
        if (converter.failed()) {
            if (converter.failureStatus() == LUA_ERRMEM && _budget->memoryLimitHit())
                cause = "job memory limit of " + std::to_string(_limits.memory_limit_kb) + " KB exceeded";
            else
                cause = converter.failure();
        } else if (lua_gettop(L) != base + 1) {
            // Without exactly one value, setting args would take the chunk off the stack.
            cause = "arguments did not convert to one value";
        }
    } catch (const std::exception& e) {
        cause = e.what();
    }
    if (cause.empty()) {
        const int status = callProtected(L, &setArgs, nullptr, 1, 0);
        if (status == LUA_OK)
            return true;
        cause = status == LUA_ERRMEM && _budget->memoryLimitHit()
            ? "job memory limit of " + std::to_string(_limits.memory_limit_kb) + " KB exceeded"
            : "cannot set args";
    }
    lua_settop(L, base);
    log.error("invalid job arguments: " + cause);
    return false;
}

bool LuaVM::unloadAnswer(std::vector<unsigned char>& answer)
{
    lua_State* L = _L.get();
    const int n = lua_gettop(L);
    log.debug("Returned %d lua objects", n);
    if (n < 1)
        return true;
    // Only the last value counts; dropping the others also frees stack room.
    if (n > 1) {
        lua_replace(L, 1);
        lua_settop(L, 1);
    }
    const int type = lua_type(L, 1);
    if (!lua_checkstack(L, 3))
        return false;
    lua_pushvalue(L, 1);                                         // v v
    const int status = callProtected(L, &toText, nullptr, 1, 1); // v text|v|error
    if (status != LUA_OK) {
        logLuaError(status);
        return false;
    }
    size_t length = 0;
    const char* text = lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &length) : nullptr;
    log.debug("answer type: %s length: %zu", lua_typename(L, type), length);
    if (length >= 1)
        answer.insert(answer.end(), text, text + length);
    return true;
}

void LuaVM::logLuaError(int status)
{
    lua_State* L = _L.get();
    const int n = lua_gettop(L);
    log.debug("logLuaError: num_errs = %d", n);
    if (n <= 0)
        return;
    if (status == LUA_ERRMEM && _budget->memoryLimitHit()) {
        // Lua's own text would only say "not enough memory".
        log.error("failure: job memory limit of %zu KB exceeded", _limits.memory_limit_kb);
        return;
    }
    if (!lua_checkstack(L, 3)) {
        log.error("Unknown failure");
        return;
    }
    lua_pushvalue(L, -1);                                                      // err err
    const bool converted = callProtected(L, &toText, nullptr, 1, 1) == LUA_OK; // err text|err|error
    if (converted && lua_type(L, -1) == LUA_TSTRING) {
        size_t length = 0;
        const char* text = lua_tolstring(L, -1, &length);
        log.error("failure: " + std::string(text, length));
    } else {
        log.error("Unknown failure");
    }
    lua_settop(L, -2); // err
}

} // namespace vek
