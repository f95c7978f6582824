#include "lua_agent.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "common/error_text.h"
#include "common/log_text.h"
#include "lua_vm.h"
#include "script_directory.h"
#include "common/c_handle.h"

namespace vek {

LuaAgent::LuaAgent(std::vector<std::string> search_dirs, const char* staging_dir)
    : log(log4cpp::Category::getInstance("lua_agent")), _search_dirs(std::move(search_dirs))
{
    if (!staging_dir)
        throw std::invalid_argument("no staging directory given");
    _staging_dir = staging_dir;
    if (_search_dirs.empty()) {
        vek::CHandle<char, std::free> cwd(get_current_dir_name());
        if (!cwd)
            throw std::runtime_error("getcwd: " + errorText(errno));
        _search_dirs.push_back(std::string(cwd.get()) + "/job_scripts");
    }
    for (const auto& dir : _search_dirs)
        log.info("script directory: " + dir);
}

bool LuaAgent::findScript(std::string& script_path, const std::string& script_name)
{
    for (const auto& dir : _search_dirs) {
        ScriptDirectory directory(log);
        if (directory.open(dir.c_str()) && directory.lookup_absolute_script(script_path, script_name))
            return true;
    }
    return false;
}

LuaAgent::~LuaAgent() = default;

void LuaAgent::setLimits(const JobLimits& limits)
{
    if (limits == _limits)
        return;
    _limits = limits;
    _prepare_failed = false;
    if (_next_vm) {
        _spare_budget = _next_vm->takeBudget();
        _next_vm.reset();
    }
}

void LuaAgent::prepareNextJob() noexcept
{
    if (_next_vm || _prepare_failed)
        return;
    try {
        auto vm = std::make_unique<LuaVM>(_search_dirs, _staging_dir.c_str(), takeBudget());
        vm->setLimits(_limits);
        if (vm->prepare()) {
            _next_vm = std::move(vm);
        } else {
            _prepare_failed = true;
            _spare_budget = vm->takeBudget();
        }
    } catch (const std::exception&) {
        // Out of memory: the next job opens its own state and reports what happens then.
    }
}

JobResult LuaAgent::runJob(const std::string& script_name, const msgpack::object& args, size_t request_bytes)
{
    std::string path;
    // A file name holds neither: a "/" would reach outside the search directories, and a zero
    // byte would end the name early for the system (so "reset.lua.disabled\0.lua" would run
    // "reset.lua.disabled").
    const bool plain = script_name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
    if (!plain || !findScript(path, script_name))
        return JobResult(false, "Cannot run job. Script not found \"" + escaped(script_name) + "\"");

    // A prepared VM was made under the limits in force: setLimits drops it otherwise.
    std::unique_ptr<LuaVM> vm = std::move(_next_vm);
    if (!vm) {
        vm = std::make_unique<LuaVM>(_search_dirs, _staging_dir.c_str(), takeBudget());
        vm->setLimits(_limits);
    }
    vm->setRequestBytes(request_bytes);
    JobResult result = vm->executeScript(path.c_str(), args);
    if (!result.getStatus())
        log.error("%s job failed", escaped(path).c_str());
    // Whatever the job did to its state, the state is closed now: the next job gets another.
    _spare_budget = vm->takeBudget();
    return result;
}

} // namespace vek
