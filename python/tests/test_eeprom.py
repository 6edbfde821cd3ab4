import dataclasses

import pytest

import vexa

CONFIG = vexa.EepromConfig(vendor_id=0x0403, product_id=0x6001, manufacturer="Acme",
                           manufacturer_id="AC", description="Bench probe",
                           serial_number="AC000042", max_power=250, self_powered=True)


@pytest.mark.parametrize("chip", ["r4,serial=S,eeprom=64", "dual,serial=S,eeprom=256"])
def test_program_then_read_gives_the_configuration_back(sim, chip):
    sim.add(chip)
    with vexa.open(serial="S") as ch:
        ch.eeprom.program(CONFIG)
        back = ch.eeprom.read()
        assert back.dual_image == chip.startswith("dual")
        compared = ["vendor_id", "product_id", "manufacturer", "description", "serial_number",
                    "max_power", "self_powered", "remote_wakeup", "plug_and_play"]
        assert [getattr(back, f) for f in compared] == [getattr(CONFIG, f) for f in compared]


def test_an_empty_serial_number_is_generated_from_the_prefix(sim, ch):
    ch.eeprom.program(dataclasses.replace(CONFIG, serial_number=""))
    serial = ch.eeprom.read().serial_number
    assert serial.startswith("AC") and len(serial) > 2


@pytest.mark.parametrize("fill, status", [(0xFFFF, 15), (0x0000, 14)])
def test_blank_and_absent_eeproms_raise(sim, fill, status):
    sim.add("r4,serial=S,eeprom=64")
    sim.lib.vexa_sim_eeprom_fill(0, fill)
    with vexa.open(serial="S") as ch, pytest.raises(vexa.EepromError) as caught:
        ch.eeprom.read()
    assert caught.value.status == status


def test_user_area_words_and_erase(sim, ch):
    ch.eeprom.program(CONFIG)
    area = ch.eeprom.user_area
    size = area.size
    assert size > 0 and area.read() == bytes(size)  # programming zeroes it
    area.write(b"calibration")
    assert area.read(11) == b"calibration"
    with pytest.raises(vexa.EepromError):
        area.write(bytes(size + 1))
    assert ch.eeprom.read_word(1) == 0x0403
    ch.eeprom.write_word(40, 0xBEEF)
    assert ch.eeprom.read_word(40) == 0xBEEF
    ch.eeprom.erase()
    assert ch.eeprom.read_word(1) == 0xFFFF
    with pytest.raises(vexa.EepromError):
        ch.eeprom.read_word(257)
    for bad in (lambda: ch.eeprom.read_word(-1), lambda: ch.eeprom.write_word(0, 0x10000)):
        with pytest.raises(ValueError):
            bad()
    with pytest.raises(vexa.VexaError):
        ch.eeprom.program(dataclasses.replace(CONFIG, description="x" * 200))
