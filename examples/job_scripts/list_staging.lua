-- Answers with the names in the staging directory, one a line:
--   vek-request list_staging
local dir = vekenv.staging_dir
local quoted = "'" .. dir:gsub("'", "'\\''") .. "'"
local listing = io.popen("ls -1A -- " .. quoted .. " 2>/dev/null")
if not listing then error("cannot list " .. dir) end
local names = listing:read("*a")
listing:close()
return names
