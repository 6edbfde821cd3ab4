import dataclasses

import pytest

import vexa

CONFIG = vexa.EepromConfig(vendor_id=0x0403, product_id=0x6001, manufacturer="Acme",
                           manufacturer_id="AC", description="Bench probe",
                           serial_number="AC000042", max_power=250, self_powered=True)


# Every field comes back except those of the other chip family, which read as zero.
@pytest.mark.parametrize("chip, other_family", [
    ("r4,serial=S,eeprom=64", dict(dual_serial_number_enable=False, dual_usb_version=0)),
    ("dual,serial=S,eeprom=256",
     dict(rev4=False, serial_number_enable=False, usb_version=0, dual_image=True)),
])
def test_program_then_read_gives_the_configuration_back(sim, chip, other_family):
    sim.add(chip)
    with vexa.open(serial="S") as ch:
        ch.eeprom.program(CONFIG)
        assert ch.eeprom.read() == dataclasses.replace(CONFIG, **other_family)


def test_an_empty_serial_number_is_generated_from_the_prefix(sim, ch):
    ch.eeprom.program(dataclasses.replace(CONFIG, serial_number=""))
    serial = ch.eeprom.read().serial_number
    assert serial.startswith("AC") and len(serial) > 2


def test_user_area_words_erase_and_unreadable_configurations(sim, ch):
    ch.eeprom.program(CONFIG)
    area = ch.eeprom.user_area
    area.write(b"calibration")
    assert area.read(11) == b"calibration"
    assert area.read() == b"calibration" + bytes(area.size - 11)
    with pytest.raises(vexa.EepromError):
        area.write(bytes(area.size + 1))
    ch.eeprom.write_word(40, 0xBEEF)
    assert ch.eeprom.read_word(40) == 0xBEEF
    ch.eeprom.erase()
    with pytest.raises(vexa.EepromError) as blank:
        ch.eeprom.read()
    sim.lib.vexa_sim_eeprom_fill(0, 0)
    with pytest.raises(vexa.EepromError) as absent:
        ch.eeprom.read()
    assert (blank.value.status, absent.value.status) == (15, 14)
    too_long = dataclasses.replace(CONFIG, description="x" * 200)
    for bad, error in ((lambda: ch.eeprom.read_word(257), vexa.EepromError),
                       (lambda: ch.eeprom.read_word(-1), ValueError),
                       (lambda: ch.eeprom.write_word(0, 0x10000), ValueError),
                       (lambda: ch.eeprom.program(too_long), vexa.VexaError)):
        with pytest.raises(error):
            bad()
