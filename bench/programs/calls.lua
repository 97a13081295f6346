local function f(a, b) return a + b end
local s = 0
for _ = 1, 3000000 do s = f(s, 1) end
print(s)
