import os
import re

import vexa
from vexa import _lib
from vexa.errors import error_for


def test_statuses_without_a_family_of_their_own_stay_visible():
    # Every family is raised by a real failure in the other tests; what is
    # left is how an unexpected status reads.
    error = error_for(99, "KX_Something")
    assert type(error) is vexa.VexaError and error.status == 99 and error.call == "KX_Something"
    assert str(error).startswith("KX_Something: ") and error.text in str(error)


def test_every_exported_function_is_declared():
    header = os.path.join(os.path.dirname(__file__), "..", "..", "api", "vexa.h")
    with open(header) as text:
        exported = set(re.findall(r"^KX_API [^(]*?\**(\w+)\(", text.read(), re.M))
    assert exported == set(_lib._PROTOTYPES)


def test_package_and_library_versions_agree():
    assert vexa.__version__ == vexa.library_version()
