local b = {}
for i = 1, 1000000 do b[#b + 1] = i end
table.sort(b, function(x, y) return x > y end)
local function find(t, v)
  for k = 1, #t do if t[k] == v then return k end end
  return nil
end
local n = 0
for i = 1, 1000 do if find(b, 1000001 - i * 100) then n = n + 1 end end
print(n)
