names = ["apples", "bread", "cheese", "dates", "eggs", "flour", "grapes"]
lines = []
total = 0
for i in range(1, 120001):
    qty = i % 50 + 1
    price = i % 997
    total += qty * price
    lines.append(f"{i:<10}{names[i % 7]:<16}{qty:>6}{price:>8}{qty * price:>10}\n")
report = "".join(lines)
print(len(report), total)
