class Parser:
    def __init__(self, text):
        self.text = text
        self.pos = 0

    def peek(self):
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def number(self):
        start = self.pos
        while self.peek().isdigit():
            self.pos += 1
        if start == self.pos:
            raise ValueError("bad expression: " + self.text)
        return int(self.text[start:self.pos])

    def factor(self):
        if self.peek() == "(":
            self.pos += 1
            value = self.expression()
            if self.peek() != ")":
                raise ValueError("bad expression: " + self.text)
            self.pos += 1
            return value
        return self.number()

    def term(self):
        value = self.factor()
        while self.peek() == "*":
            self.pos += 1
            value *= self.factor()
        return value

    def expression(self):
        value = self.term()
        while self.peek() in ("+", "-"):
            op = self.peek()
            self.pos += 1
            if op == "+":
                value += self.term()
            else:
                value -= self.term()
        return value


def calc(text):
    p = Parser(text)
    value = p.expression()
    if p.pos != len(text):
        raise ValueError("bad expression: " + text)
    return value


total = 0
for i in range(1, 20001):
    total += calc(f"{i}+{i % 7}*({i % 13}-4)*2-({i % 100}-3)*{i % 5}+(({i % 11}))")
print(total)
