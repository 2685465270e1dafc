"""The pool of large coders that a stream's workers share (CoderPool), run
under contention by tests/native/coder_pool_driver.cpp with stand-in coders
of 600, 250 and 100 bytes whose bytes are counted as they are made and freed."""
import subprocess

import pytest

LARGEST = 600
ALL_KINDS = 600 + 250 + 100


def contend(native_driver, budget, threads=8, borrows=2000):
    driver = native_driver("coder_pool_driver")
    done = subprocess.run([str(driver), str(budget), str(threads), str(borrows)], check=True,
                          capture_output=True, text=True, timeout=120)
    return {name: int(value) for name, value in (line.split() for line in done.stdout.splitlines())}


@pytest.mark.parametrize("budget", [LARGEST, LARGEST + 100, ALL_KINDS, 2 * ALL_KINDS])
def test_coders_alive_stay_within_the_budget(native_driver, budget):
    # Every borrow is served (the run ends, a wait never lasts), by a coder
    # no one else holds, and the pool frees idle coders of other kinds rather
    # than pass its budget; its own count is what was alive.
    r = contend(native_driver, budget)
    assert r["empty"] == 0 and r["twice_lent"] == 0
    assert LARGEST <= r["live_peak"] <= budget
    assert r["pool_peak"] == r["live_peak"]


def test_a_roomy_pool_keeps_its_coders_and_a_tight_one_lends_one_at_a_time(native_driver):
    roomy = contend(native_driver, 1 << 30, threads=8)
    # Nothing freed: at most one coder of each kind per thread ever made.
    assert roomy["live_peak"] >= ALL_KINDS and roomy["made"] <= 8 * 3
    # A budget below the largest coder still lends it, alone.
    tight = contend(native_driver, LARGEST // 2, threads=8)
    assert tight["empty"] == 0 and tight["twice_lent"] == 0
    assert tight["live_peak"] == LARGEST
