"""Legal status from INPADOC's legal events: one word of a closed set,
decided from the events' codes (for EP from its latest STAA status), the
deciding event named, never a guess where the events say nothing."""

import datetime as dt

import pytest

from lumivar.report import legal

from ops_server import LEGAL_CASES, legal_answer, recorded_status

TODAY = dt.date(2026, 12, 10)
STAA = "INFORMATION ON THE STATUS OF AN EP PATENT APPLICATION OR GRANTED EP PATENT"


def recorded_ep():
    return legal.events_of("EP.1000000.A1", legal.parse_legal(recorded_status()[0]["EP.1000000.A1"]))


def test_the_recorded_ep_patent_lapsed_in_every_designated_state():
    events = recorded_ep()
    assert any(e.code == "PGFP" for e in events)  # fees paid ("+") after grant say nothing by themselves
    status = legal.decide("EP", events, TODAY)
    assert (status.state, status.event.code, status.event.country, status.event.day) == (
        legal.LAPSED,
        "PG25",
        "GB",
        "2011-11-30",
    )
    assert status.detail.startswith("推定：失效（2011-11-30 PG25（GB）LAPSED IN A CONTRACTING STATE")


def test_a_granted_ep_patent_lapsed_in_some_states_says_which():
    # The recorded events, as if only GB and DE had ended it (their national events kept, the others' gone).
    ended = ("GB", "DE")
    events = [
        e for e in recorded_ep() if not (e.code == "PG25" and e.country not in ended) and e.code not in ("BERE", "EN")
    ]
    status = legal.decide("EP", events, TODAY)
    assert status.shown == "有效；DE、GB 失效"  # in the order of the designated states
    assert status.event.code == "STAA" and "NO OPPOSITION FILED" in status.detail
    reinstated = legal.Event("PGRI", "PATENT REINSTATED IN CONTRACTING STATE", "2012-01-10", country="GB")
    assert legal.decide("EP", events + [reinstated], TODAY).shown == "有效；DE 失效"


def _event(code, day, text="", description="AN EVENT"):
    return legal.Event(code, description, day, text=text)


CASES = [  # (case, country, events, expected state, the deciding event's code)
    ("no events", "TW", [], legal.NO_DATA, None),
    ("events that say nothing of the state", "US", [_event("AS", "2014-01-01")], legal.NO_DATA, None),
    (
        "the latest STAA decides an EP document",
        "EP",
        [_event("18W", "2019-02-20"), _event("STAA", "2020-01-01", "STATUS: THE APPLICATION HAS BEEN REFUSED")],
        legal.REFUSED,
        "STAA",
    ),
    (
        "an EP application under examination",
        "EP",
        [_event("STAA", "2020-01-01", "STATUS: EXAMINATION IS IN PROGRESS"), _event("17P", "2019-01-01")],
        legal.PENDING,
        "STAA",
    ),
    (
        "an EP document without STAA, by its codes",
        "EP",
        [_event("17P", "2016-01-01"), _event("18D", "2018-03-01")],
        legal.WITHDRAWN,
        "18D",
    ),
    (
        "a later fee payment after a grant",
        "CN",
        [_event("GR01", "2016-01-01"), _event("PB01", "2014-01-01")],
        legal.IN_FORCE,
        "GR01",
    ),
    (
        "the latest of the office's events",
        "KR",
        [_event("E701", "2016-01-01"), _event("PC1903", "2020-05-01")],
        legal.LAPSED,
        "PC1903",
    ),
    (
        "a US application abandoned",
        "US",
        [_event("STPP", "2016-01-01"), _event("STCB", "2018-05-01")],
        legal.WITHDRAWN,
        "STCB",
    ),
    (
        "a TW invention whose term ran out",
        "TW",
        [_event("GD4A", "2000-01-01"), _event("MK4A", "2020-05-01")],
        legal.EXPIRED,
        "MK4A",
    ),
    (
        "a JP refusal code unknown here: the grant still decides",
        "JP",
        [_event("R150", "2017-01-05"), _event("ZZZZ", "2018-01-05")],
        legal.IN_FORCE,
        "R150",
    ),
]


@pytest.mark.parametrize("country, events, state, code", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_the_state_is_decided_by_the_codes_never_by_the_marks(country, events, state, code):
    status = legal.decide(country, events, TODAY)
    assert status.state == state and (status.event.code if status.event else None) == code
    assert status.state in legal.STATES


@pytest.mark.parametrize("reference", LEGAL_CASES)
def test_the_stand_ins_own_answers_read_as_their_cases(reference):
    expected = {
        "TW.I600001.B": legal.IN_FORCE,
        "TW.M500001.U": legal.LAPSED,
        "US.9000001.B2": legal.IN_FORCE,
        "EP.3100000.A1": legal.WITHDRAWN,
        "CN.305000001.S": legal.IN_FORCE,
        "JP.6000001.B2": legal.IN_FORCE,
    }[reference]
    events = legal.events_of(reference, legal.parse_legal(legal_answer(reference, LEGAL_CASES[reference][3])))
    assert legal.decide(reference[:2], events, TODAY).state == expected


def test_in_force_past_its_expected_expiry_is_expired_and_no_data_is_no_guess():
    granted = [_event("GD4A", "2001-01-01")]
    assert legal.decide("TW", granted, TODAY, expires=dt.date(2021, 3, 4)).state == legal.EXPIRED
    assert legal.decide("TW", granted, TODAY, expires=dt.date(2031, 3, 4)).state == legal.IN_FORCE
    assert legal.decide("TW", [], TODAY, expires=dt.date(2021, 3, 4)).state == legal.NO_DATA
    assert legal.Status(legal.NO_DATA).detail == legal.NO_DATA  # no "推定" on what was not derived


def test_the_document_asked_is_found_among_the_members_by_its_number():
    members = {"EP.1000000.A1": [_event("17P", "2000-01-01")], "WO.2009085664.A2": []}
    assert legal.events_of("EP.1000000.B1", members) == members["EP.1000000.A1"]
    assert legal.events_of("US.1.B1", members) is None
    kept = [legal.Event.of_row(e.row()) for e in recorded_ep()]
    assert kept == recorded_ep() and legal.Event.of_row(["too", "short"]) is None
