b = []
for i in range(1, 1000001):
    b.append(i)
b.sort(reverse=True)
n = 0
for i in range(1, 1001):
    if 1000001 - i * 100 in b:
        n += 1
print(n)
