local Account = {}
Account.__index = Account

function Account.new() return setmetatable({ balance = 0 }, Account) end
function Account:deposit(amount) self.balance = self.balance + amount end
function Account:withdraw(amount)
  if amount > self.balance then return false end
  self.balance = self.balance - amount
  return true
end

local a, b = Account.new(), Account.new()
for _ = 1, 250000 do
  a:deposit(10)
  b:deposit(3)
  a:withdraw(4)
  b:withdraw(5)
end
print(a.balance .. " " .. b.balance)
