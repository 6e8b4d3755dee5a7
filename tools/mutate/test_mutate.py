"""Checks of the mutant generator: python3 -m unittest tools/mutate/test_mutate.py"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate  # noqa: E402


def mutated(line, prev="{"):
    """Every (operator, mutated line) the generator makes of one line."""
    code = mutate.mask(line)
    return {(op, line[:s] + new + line[e:]) for s, e, new, op in mutate.line_mutants(code, prev)}


class Mask(unittest.TestCase):
    def test_blanks_comments_and_literals_in_place(self):
        for text, want in [
            ('f("a < b"); // x == y', 'f("     ");          '),
            ("c = 'x'; /* 0x02\n== */ d = 1'000;", "c = ' ';        \n      d = 1'000;"),
            ("s = R\"(a \"b\" 1)\"; n = 2;", "s =             ; n = 2;"),
            ('e = "q\\"1"; k = 3;', 'e = "    "; k = 3;'),
        ]:
            self.assertEqual(mutate.mask(text), want, text)


class Skipped(unittest.TestCase):
    def test_log_statements_and_preprocessor(self):
        lines = ["#define X(a) \\", "  (a + 1)", "LOG_INFO(\"%d\",", "    n + 1);",
                 "x = 1;", "if (logger* l = logger::instance()) l->dump(\"t\", b, 3);",
                 "  if (bad) LOG_ERR(\"x\");", "y = 2;"]
        self.assertEqual(mutate.skipped_lines(lines), {0, 1, 2, 3, 5, 6})


class Operators(unittest.TestCase):
    def test_mutants_made(self):
        for line, op, want in [
            ("if (a < b) {", "comparison", "if (a <= b) {"),
            ("ok = n != 0;", "comparison", "ok = n == 0;"),
            ("int len = 16;", "constant", "int len = 17;"),
            ("int len = 16;", "constant", "int len = 15;"),
            ("buf[0] = 0x02;", "byte", "buf[0] = 0x03;"),
            ("buf[0] = 0x02;", "byte", "buf[0] = 0xFD;"),
            ("crc ^= 0xFFFFu;", "byte", "crc ^= 0x0000u;"),
            ("n = a.size() - pos;", "swap", "n = pos - a.size();"),
            ("v = (hi << 8) | lo;", "swap", "v = (8 << hi) | lo;"),
            ("if (a && b) {", "logic", "if (a || b) {"),
            ("done = true;", "bool", "done = false;"),
            ("while (left > 0) {", "condition", "while (!(left > 0)) {"),
            ("  return total;", "return", "  return {};"),
            ("  obj->send(buf, n);", "drop", "  ;"),
            ("  count += 2;", "drop", "  ;"),
            ("  ++count;", "drop", "  ;"),
        ]:
            self.assertIn((op, want), mutated(line), line)

    def test_mutants_not_made(self):
        for line, prev, banned in [
            ("std::vector<int> v(3);", "{", "comparison"),
            ("auto p = static_cast<uint8_t>(x);", "{", "comparison"),
            ("int fd = open(p, O_RDONLY, 0644);", "{", "constant"),
            ("double d = 2.5;", "{", "constant"),
            ("char buf[64];", "{", "constant"),
            ("os << a << b;", "{", "swap"),
            ("int x = f(3);", "{", "drop"),
            ("std::string s(\"a\");", "{", "drop"),
            ("    g(b);", "int n = f(a,", "drop"),
            ("return;", "{", "return"),
            ("if (auto* p = find(k)) {", "{", "condition"),
            ("puts(\"a < b && true\");", "{", "comparison"),
        ]:
            ops = {op for op, _ in mutated(line, prev)}
            self.assertNotIn(banned, ops, line)


class Choice(unittest.TestCase):
    def test_same_seed_same_mutants_and_folders_independent(self):
        pick = lambda f, seed: [m.diff() for m in mutate.choose(f, seed, 6)]
        self.assertEqual(pick("storage", 5), pick("storage", 5))
        self.assertNotEqual(pick("storage", 5), pick("storage", 6))
        self.assertEqual(len(pick("base", 5)), 6)
        self.assertEqual(len({m.op for m in mutate.choose("drivers", 5, 6)}), 6)


if __name__ == "__main__":
    unittest.main()
