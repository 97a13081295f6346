-- A small JSON encoder and decoder: Lua has none of its own.
local encode, decode

local escapes = { ['"'] = '\\"', ['\\'] = '\\\\', ['\n'] = '\\n', ['\r'] = '\\r', ['\t'] = '\\t' }
local null = setmetatable({}, { __tostring = function() return "null" end })

local function encode_string(s)
  return '"' .. s:gsub('[%c"\\]', function(c)
    return escapes[c] or string.format("\\u%04x", c:byte())
  end) .. '"'
end

function encode(v, out)
  local t = type(v)
  if t == "table" then
    if v == null then out[#out + 1] = "null"
    elseif v[1] ~= nil or next(v) == nil then
      out[#out + 1] = "["
      for i, x in ipairs(v) do
        if i > 1 then out[#out + 1] = "," end
        encode(x, out)
      end
      out[#out + 1] = "]"
    else
      out[#out + 1] = "{"
      local first = true
      for _, k in ipairs(v.__order or {}) do
        if not first then out[#out + 1] = "," end
        first = false
        out[#out + 1] = encode_string(k) .. ":"
        encode(v[k], out)
      end
      out[#out + 1] = "}"
    end
  elseif t == "string" then out[#out + 1] = encode_string(v)
  elseif t == "number" or t == "boolean" then out[#out + 1] = tostring(v)
  end
end

local unescapes = { b = "\b", f = "\f", n = "\n", r = "\r", t = "\t" }

function decode(s)
  local pos = 1
  local value
  local function skip() pos = s:find("[^ \t\r\n]", pos) or #s + 1 end
  local function str()
    local out, start = {}, pos + 1
    while true do
      local q = s:find('["\\]', start)
      out[#out + 1] = s:sub(start, q - 1)
      if s:sub(q, q) == '"' then pos = q + 1 break end
      local c = s:sub(q + 1, q + 1)
      if c == "u" then
        out[#out + 1] = utf8.char(tonumber(s:sub(q + 2, q + 5), 16))
        start = q + 6
      else
        out[#out + 1] = unescapes[c] or c
        start = q + 2
      end
    end
    return table.concat(out)
  end
  function value()
    skip()
    local c = s:sub(pos, pos)
    if c == "{" then
      local t, order = {}, {}
      pos = pos + 1 skip()
      if s:sub(pos, pos) == "}" then pos = pos + 1 return t end
      repeat
        skip()
        local k = str() skip()
        pos = pos + 1 -- the colon
        t[k] = value() order[#order + 1] = k
        skip()
        c = s:sub(pos, pos) pos = pos + 1
      until c == "}"
      t.__order = order
      return t
    elseif c == "[" then
      local t = {}
      pos = pos + 1 skip()
      if s:sub(pos, pos) == "]" then pos = pos + 1 return t end
      repeat
        t[#t + 1] = value() skip()
        c = s:sub(pos, pos) pos = pos + 1
      until c == "]"
      return t
    elseif c == '"' then return str()
    elseif s:sub(pos, pos + 3) == "true" then pos = pos + 4 return true
    elseif s:sub(pos, pos + 4) == "false" then pos = pos + 5 return false
    elseif s:sub(pos, pos + 3) == "null" then pos = pos + 4 return null
    else
      local num = s:match("^-?%d+%.?%d*[eE]?[-+]?%d*", pos)
      pos = pos + #num
      return math.tointeger(tonumber(num)) or tonumber(num)
    end
  end
  return value()
end

local order = { "id", "name", "email", "score", "active", "tags", "note", "text" }
local recs = {}
for i = 1, 30000 do
  recs[i] = { __order = order, id = i, name = "user " .. i, email = "u" .. i .. "@example.com",
              score = i % 97, active = i % 2 == 0, tags = { "a", "bb", "c" },
              note = null, text = 'line\nwith "quotes"' }
end
local out = {}
encode(recs, out)
local text = table.concat(out)
local ids, actives, chars = 0, 0, 0
for _, r in ipairs(decode(text)) do
  ids = ids + r.id + r.score
  if r.active then actives = actives + 1 end
  chars = chars + #r.name + #r.text + #r.tags
end
print(#recs .. " " .. ids .. " " .. actives .. " " .. chars)
