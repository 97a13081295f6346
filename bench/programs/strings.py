parts = []
for _ in range(1000000):
    parts.append("abc")
s = "".join(parts)
print(len(s))
