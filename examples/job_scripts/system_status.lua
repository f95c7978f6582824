-- Answers with the board's uptime and free memory, read from /proc:
--   vek-request system_status   ->   uptime: 3h 12m 5s, free memory: 51234 kB, available: 80112 kB
local function read_file(path)
  local file = io.open(path, "r")
  if not file then error("cannot read " .. path) end
  local text = file:read("*a")
  file:close()
  return text
end

local seconds = math.floor(tonumber(read_file("/proc/uptime"):match("^(%S+)")))
local meminfo = read_file("/proc/meminfo")
local free = meminfo:match("MemFree:%s+(%d+) kB") or "?"
local available = meminfo:match("MemAvailable:%s+(%d+) kB") or "?"

return string.format("uptime: %dh %dm %ds, free memory: %s kB, available: %s kB",
                     math.floor(seconds / 3600), math.floor(seconds % 3600 / 60), seconds % 60, free, available)
