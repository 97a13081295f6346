vocabulary = ["w%d" % i for i in range(5000)]
words = []
x = 1
for _ in range(1000000):
    x = (x * 75 + 74) % 65537
    words.append(vocabulary[x % 5000])
text = " ".join(words)
counts = {}
for w in text.split(" "):
    counts[w] = counts.get(w, 0) + 1
print(len(counts), counts["w1"], counts["w4999"])
