"""Expected expiry: each office's term for each type of right, counted from
the day that office counts it from and ended on the day its register writes."""

import datetime as dt

import pytest

from lumivar.report import terms
from lumivar.report.terms import Claim

D = dt.date
PCT = Claim("US", "W", D(2011, 3, 5), "W")  # the international application a national phase names

TERMS = [  # (case, country, number, kind, filed, granted, claims, the expiry shown; None: no date)
    ("TW invention, the day before the anniversary", "TW", "I723456", "B", D(2012, 3, 5), None, (), "2032-03-04"),
    ("TW invention published as an application", "TW", "201234567", "A", D(2012, 3, 5), None, (), "2032-03-04"),
    ("TW utility model, 10 years", "TW", "M612345", "U", D(2012, 3, 5), None, (), "2022-03-04"),
    ("TW design still in force on 2019-11-01: 15 years", "TW", "D212345", "S", D(2008, 3, 5), None, (), "2023-03-04"),
    (
        "TW design whose 12 years ended before the amendment",
        "TW",
        "D112345",
        "S",
        D(2007, 3, 5),
        None,
        (),
        "2019-03-04",
    ),
    ("TW design whose 12 years end on 2019-11-01 itself", "TW", "D112346", "S", D(2007, 11, 2), None, (), "2022-11-01"),
    ("TW filed on 29 February: the month's last day", "TW", "M600001", "U", D(2016, 2, 29), None, (), "2026-02-28"),
    ("TW utility model under the old law: no rule here", "TW", "M100001", "U", D(2003, 3, 5), None, (), None),
    ("EP: the anniversary (Rule 131(4) EPC)", "EP", "1000000", "A1", D(2012, 3, 5), None, (), "2032-03-05"),
    (
        "EP regional phase: from the international filing",
        "EP",
        "2225660",
        "A2",
        D(2012, 3, 5),
        None,
        [PCT],
        "2031-03-05",
    ),
    (
        "EP divisional: its parent's filing date",
        "EP",
        "3000001",
        "A1",
        D(2015, 6, 1),
        None,
        [Claim("EP", "A", D(2012, 3, 5), "3")],
        "2032-03-05",
    ),
    (
        "EP divisional the data does not name: a guess",
        "EP",
        "3000002",
        "A1",
        D(2015, 6, 1),
        None,
        [Claim("EP", "A", D(2012, 3, 5))],
        "2035-06-01（推定）",
    ),
    ("EP filed on 29 February", "EP", "3000003", "B1", D(2016, 2, 29), None, (), "2036-02-29"),
    ("CN invention, the day before", "CN", "101911042", "B", D(2012, 3, 5), None, (), "2032-03-04"),
    ("CN utility model, 10 years", "CN", "202012345", "U", D(2012, 3, 5), None, (), "2022-03-04"),
    ("CN design filed before 2021-06-01: 10 years", "CN", "306123456", "S", D(2021, 5, 31), None, (), "2031-05-30"),
    ("CN design filed from 2021-06-01: 15 years", "CN", "307123456", "S", D(2021, 6, 1), None, (), "2036-05-31"),
    ("JP invention, the anniversary", "JP", "4961043", "B2", D(2012, 3, 5), None, (), "2032-03-05"),
    ("JP utility model, 10 years", "JP", "3212345", "U", D(2012, 3, 5), None, (), "2022-03-05"),
    ("JP design: no rule here", "JP", "1234567", "S", D(2012, 3, 5), None, (), None),
    ("KR invention, the anniversary", "KR", "101234567", "B1", D(2012, 3, 5), None, (), "2032-03-05"),
    ("KR utility model, 10 years", "KR", "200412345", "Y1", D(2012, 3, 5), None, (), "2022-03-05"),
    ("KR design: no rule here", "KR", "300123456", "S", D(2012, 3, 5), None, (), None),
    (
        "US utility: 20 years, a guess (term adjustments)",
        "US",
        "8131731",
        "B2",
        D(2012, 3, 5),
        None,
        (),
        "2032-03-05（推定）",
    ),
    (
        "US: from the earliest US non-provisional",
        "US",
        "8510313",
        "B2",
        D(2012, 2, 13),
        None,
        [Claim("US", "A", D(2007, 12, 27), "1")],
        "2027-12-27（推定）",
    ),
    (
        "US: never from a provisional or a foreign priority",
        "US",
        "9000001",
        "B2",
        D(2012, 3, 5),
        None,
        [Claim("US", "P", D(2011, 3, 5)), Claim("JP", "A", D(2011, 4, 1))],
        "2032-03-05（推定）",
    ),
    ("US national phase: from the PCT filing", "US", "9000002", "B2", D(2012, 9, 5), None, [PCT], "2031-03-05（推定）"),
    (
        "US filed before 1995-06-08: 17 years from grant where longer",
        "US",
        "5500000",
        "A",
        D(1993, 3, 5),
        D(1996, 3, 19),
        (),
        "2013-03-19（推定）",
    ),
    (
        "US filed before 1995-06-08: 20 years from filing where longer",
        "US",
        "5400000",
        "A",
        D(1993, 3, 5),
        D(1994, 3, 1),
        (),
        "2013-03-05（推定）",
    ),
    ("US filed before 1995-06-08, grant unknown: no guess", "US", "5400001", "A", D(1993, 3, 5), None, (), None),
    (
        "US design filed from 2015-05-13: 15 years from grant",
        "US",
        "D800000",
        "S",
        D(2015, 5, 13),
        D(2017, 4, 25),
        (),
        "2032-04-25",
    ),
    (
        "US design filed before 2015-05-13: 14 years",
        "US",
        "D700000",
        "S",
        D(2015, 5, 12),
        D(2017, 4, 25),
        (),
        "2031-04-25",
    ),
    ("US plant patent: no rule here", "US", "PP30000", "P2", D(2012, 3, 5), None, (), None),
    ("a WO application is no patent", "WO", "2009085664", "A2", D(2008, 12, 12), None, (), None),
    ("no filing date, no expiry", "EP", "1000000", "A1", None, None, (), None),
]


@pytest.mark.parametrize(
    "country, number, kind, filed, granted, claims, expected", [c[1:] for c in TERMS], ids=[c[0] for c in TERMS]
)
def test_each_office_and_type_has_its_term_and_its_end_day(country, number, kind, filed, granted, claims, expected):
    found = terms.expiry(country, number, kind, filed, granted=granted, claims=claims)
    assert (found.shown if found else None) == expected


def test_claims_as_the_data_step_keeps_them():
    kept = "US.96495207.A.20071227.;US.2008086599.W.20081212.W;CN.1.A.2008-13-40.;bad"
    assert terms.parse_claims(kept) == [
        Claim("US", "A", D(2007, 12, 27), ""),
        Claim("US", "W", D(2008, 12, 12), "W"),
    ]  # an impossible date and a piece that is no claim are dropped
