local names = { "apples", "bread", "cheese", "dates", "eggs", "flour", "grapes" }
local lines = {}
local total = 0
for i = 1, 120000 do
  local qty = i % 50 + 1
  local price = i % 997
  total = total + qty * price
  lines[i] = string.format("%-10d%-16s%6d%8d%10d\n", i, names[i % 7 + 1], qty, price, qty * price)
end
local report = table.concat(lines)
print(#report .. " " .. total)
