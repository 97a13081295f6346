local function f(n)
  if n > 0 then return n end
  return 0
end
local s = 0
for _ = 1, 1000000 do s = s + f(1) end
print(s)
