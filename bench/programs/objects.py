class Account:
    def __init__(self):
        self.balance = 0

    def deposit(self, amount):
        self.balance += amount

    def withdraw(self, amount):
        if amount > self.balance:
            return False
        self.balance -= amount
        return True

a = Account()
b = Account()
for _ in range(250000):
    a.deposit(10)
    b.deposit(3)
    a.withdraw(4)
    b.withdraw(5)
print(a.balance, b.balance)
