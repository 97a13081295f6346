-- A small CSV writer and reader: Lua has none of its own.
local function quote(field)
  if field:find('[,"\r\n]') then return '"' .. field:gsub('"', '""') .. '"' end
  return field
end

local function to_csv(rows)
  local out = {}
  for i, row in ipairs(rows) do
    local fields = {}
    for j, f in ipairs(row) do fields[j] = quote(f) end
    out[i] = table.concat(fields, ",") .. "\n"
  end
  return table.concat(out)
end

local function load_csv(text)
  local rows, row, pos, n = {}, {}, 1, #text
  while pos <= n do
    local field
    if text:sub(pos, pos) == '"' then
      local parts, start = {}, pos + 1
      while true do
        local q = text:find('"', start, true)
        parts[#parts + 1] = text:sub(start, q - 1)
        if text:sub(q + 1, q + 1) == '"' then
          parts[#parts + 1] = '"' start = q + 2
        else
          pos = q + 1 break
        end
      end
      field = table.concat(parts)
    else
      local e = text:find("[,\n]", pos) or n + 1
      field = text:sub(pos, e - 1)
      pos = e
    end
    row[#row + 1] = field
    local c = text:sub(pos, pos)
    pos = pos + 1
    if c ~= "," then rows[#rows + 1] = row row = {} end
  end
  return rows
end

local rows = { { "id", "name", "email", "score", "city", "note" } }
local cities = { "Paris", "Oslo, Norway", "Lima" }
for i = 1, 30000 do
  rows[#rows + 1] = { tostring(i), "user " .. i, "u" .. i .. "@example.com", tostring(i % 97),
                      cities[i % 3 + 1], i % 2 == 0 and 'said "hi"' or "" }
end
local text = to_csv(rows)
local lines, chars = 0, 0
for _, line in ipairs(load_csv(text)) do
  lines = lines + 1
  for _, field in ipairs(line) do chars = chars + #field end
end
print(lines .. " " .. chars)
