def f(n):
    if n > 0:
        return n
    return 0

s = 0
for _ in range(1000000):
    s = s + f(1)
print(s)
