import os
import re

import pytest

import vexa
from vexa import _lib
from vexa.errors import error_for

FAMILIES = [
    (2, vexa.NotFoundError), (3, vexa.NotOpenedError), (4, vexa.VexaIOError),
    (10, vexa.VexaIOError), (6, vexa.ParameterError), (7, vexa.ParameterError),
    (11, vexa.EepromError), (12, vexa.EepromError), (13, vexa.EepromError),
    (14, vexa.EepromError), (15, vexa.EepromError), (16, vexa.EepromError),
    (17, vexa.UnsupportedError), (5, vexa.VexaError), (18, vexa.VexaError),
    (99, vexa.VexaError),
]


@pytest.mark.parametrize("status, family", FAMILIES)
def test_each_status_maps_to_its_family(status, family):
    error = error_for(status, "KX_Something")
    assert type(error) is family
    assert error.status == status and error.call == "KX_Something"
    assert str(error).startswith("KX_Something: ")
    assert error.name.startswith("KX_ERR_") and error.text in str(error)
    assert isinstance(error, vexa.VexaError)


def test_known_codes_carry_their_names():
    assert error_for(15).name == "KX_ERR_EE_BLANK"
    assert isinstance(error_for(7), ValueError)  # a bad baud rate is a bad value


def test_every_exported_function_is_declared():
    header = os.path.join(os.path.dirname(__file__), "..", "..", "api", "vexa.h")
    with open(header) as text:
        exported = set(re.findall(r"^KX_API [^(]*?\**(\w+)\(", text.read(), re.M))
    assert len(exported) > 50
    assert exported == set(_lib._PROTOTYPES)


def test_package_and_library_versions_agree():
    assert vexa.__version__ == vexa.library_version()
