import json

recs = []
for i in range(1, 30001):
    recs.append({"id": i, "name": "user %d" % i, "email": "u%d@example.com" % i,
                 "score": i % 97, "active": i % 2 == 0, "tags": ["a", "bb", "c"],
                 "note": None, "text": 'line\nwith "quotes"'})
text = json.dumps(recs)
ids = actives = chars = 0
for r in json.loads(text):
    ids += r["id"] + r["score"]
    if r["active"]:
        actives += 1
    chars += len(r["name"]) + len(r["text"]) + len(r["tags"])
print(len(recs), ids, actives, chars)
