"""A pytest-style test class and a unittest.TestCase, with one test skipped."""

import unittest


class TestStack:
    def setup_method(self, method):
        self.stack = []

    def test_push(self):
        self.stack.append(1)
        assert self.stack == [1]

    def test_pop(self):
        self.stack.extend([1, 2])
        assert self.stack.pop() == 2


class TestWords(unittest.TestCase):
    def setUp(self):
        self.words = "the quick brown fox".split()

    def test_count(self):
        self.assertEqual(len(self.words), 4)

    def test_upper(self):
        self.assertEqual(self.words[1].upper(), "QUICK")

    @unittest.skip("shows how a skipped test is reported")
    def test_title(self):
        self.assertEqual(self.words[0].title(), "The")
