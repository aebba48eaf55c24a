import pytest

from _tavlok import PyTavlok


@pytest.fixture
def env():
    return PyTavlok()


@pytest.fixture(scope="session")
def panic_exception():
    """The class of internal failures. The module does not export it, so take it from one."""
    try:
        PyTavlok().observe(4)
    except BaseException as error:
        return type(error)
    pytest.fail("observe(4) did not fail")
