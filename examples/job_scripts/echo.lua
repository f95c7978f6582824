-- Answers with the job's arguments, written out as text:
--   vek-request echo '{"msg": "hello", "n": [1, 2]}'   ->   {msg = "hello", n = {1, 2}}
local function show(value, depth)
  if type(value) == "string" then
    return string.format("%q", value)
  elseif type(value) ~= "table" then
    return tostring(value)
  elseif depth > 16 then
    return "{...}"
  end
  local keys = {}
  for key in pairs(value) do keys[#keys + 1] = key end
  table.sort(keys, function(a, b)
    if type(a) == type(b) and (type(a) == "number" or type(a) == "string") then return a < b end
    return type(a) < type(b)
  end)
  local parts = {}
  for i, key in ipairs(keys) do
    local shown = show(value[key], depth + 1)
    if key == i then
      parts[#parts + 1] = shown
    elseif type(key) == "string" and key:match("^[%a_][%w_]*$") then
      parts[#parts + 1] = key .. " = " .. shown
    else
      parts[#parts + 1] = "[" .. show(key, depth + 1) .. "] = " .. shown
    end
  end
  return "{" .. table.concat(parts, ", ") .. "}"
end

return show(args, 0)
