import csv, io

rows = [["id", "name", "email", "score", "city", "note"]]
for i in range(1, 30001):
    rows.append([str(i), "user %d" % i, "u%d@example.com" % i, str(i % 97),
                 ["Paris", "Oslo, Norway", "Lima"][i % 3], 'said "hi"' if i % 2 == 0 else ""])
out = io.StringIO()
csv.writer(out, lineterminator="\n").writerows(rows)
text = out.getvalue()
lines = chars = 0
for line in csv.reader(io.StringIO(text)):
    lines += 1
    for field in line:
        chars += len(field)
print(lines, chars)
