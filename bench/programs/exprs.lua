local text, pos

local expression

local function number()
  local digits = text:match("^%d+", pos)
  if not digits then error("bad expression: " .. text) end
  pos = pos + #digits
  return tonumber(digits)
end

local function factor()
  if text:sub(pos, pos) == "(" then
    pos = pos + 1
    local value = expression()
    if text:sub(pos, pos) ~= ")" then error("bad expression: " .. text) end
    pos = pos + 1
    return value
  end
  return number()
end

local function term()
  local value = factor()
  while text:sub(pos, pos) == "*" do
    pos = pos + 1
    value = value * factor()
  end
  return value
end

function expression()
  local value = term()
  while true do
    local op = text:sub(pos, pos)
    if op == "+" then pos = pos + 1 value = value + term()
    elseif op == "-" then pos = pos + 1 value = value - term()
    else return value end
  end
end

local function calc(s)
  text, pos = s, 1
  local value = expression()
  if pos ~= #text + 1 then error("bad expression: " .. text) end
  return value
end

local total = 0
for i = 1, 20000 do
  total = total + calc(i .. "+" .. i % 7 .. "*(" .. i % 13 .. "-4)*2-(" .. i % 100 .. "-3)*"
                       .. i % 5 .. "+((" .. i % 11 .. "))")
end
print(total)
