local vocabulary = {}
for i = 1, 5000 do vocabulary[i] = "w" .. i - 1 end
local words = {}
local x = 1
for i = 1, 1000000 do
  x = (x * 75 + 74) % 65537
  words[i] = vocabulary[x % 5000 + 1]
end
local text = table.concat(words, " ")
local counts, distinct = {}, 0
for w in text:gmatch("%S+") do
  local c = counts[w]
  if not c then distinct = distinct + 1 end
  counts[w] = (c or 0) + 1
end
print(distinct .. " " .. counts.w1 .. " " .. counts.w4999)
