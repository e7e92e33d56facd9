"""Plain test functions: most pass, one fails by design to show a report."""


def add(a, b):
    return a + b


def check_add(a, b, expected):
    """Not a test by its name: the README's Python API example runs it with arguments."""
    assert add(a, b) == expected, f"{a} + {b} is not {expected}"


def test_add():
    assert add(2, 3) == 5


def test_add_negative():
    assert add(-2, -3) == -5


def test_add_floats():
    assert abs(add(0.1, 0.2) - 0.3) < 1e-9


def test_fails_on_purpose():
    print("computing 2 + 2 ...")
    result = add(2, 2)
    print(f"got {result}")
    assert result == 5, "this example fails by design"
