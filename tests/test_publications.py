"""Publication numbers as people write them, and the IDs of their public pages."""

import pytest

from lumivar.report import publications as numbers

WRITTEN_AND_ID = [
    ("US 2020/0123456 A1", "US20200123456A1"),
    ("US 2020/123456 A1", "US20200123456A1"),  # the serial padded to 7 digits
    ("US 10,123,456 B2", "US10123456B2"),
    ("US-10123456-B2", "US10123456B2"),
    ("US RE49,123 E", "USRE49123E1"),  # Google Patents writes a reissue's E as E1
    ("USD912345S", "USD912345S"),
    ("US 9,876,543", "US9876543"),  # no kind code: the page still resolves
    ("US10123456", "US10123456"),
    ("EP 1 234 567 A1", "EP1234567A1"),
    ("WO 2019/123456 A1", "WO2019123456A1"),
    ("WO 01/12345 A1", "WO2001012345A1"),  # two-digit year widened, serial padded to 6
    ("WO 98/12345 A1", "WO1998012345A1"),
    ("JP 2020-123456 A", "JP2020123456A"),
    ("JP H10-123456 A", "JPH10123456A"),
    ("KR 10-2019-0123456 A", "KR20190123456A"),
    ("KR 10-1234567 B1", "KR101234567B1"),
    ("TW I 123456 B", "TWI123456B"),
    ("TW M567890 U", "TWM567890U"),
    ("TW 201812345 A", "TW201812345A"),
    ("DE 10 2019 123 456 A1", "DE102019123456A1"),
    ("CN 112345678 A", "CN112345678A"),
    # folded as typed or pasted: full width, NBSP, zero-width space, case, Excel's apostrophe, dashes
    ("ＴＷ　Ｉ１２３４５６Ｂ", "TWI123456B"),
    ("'us\u00a010123456\u200bb2", "US10123456B2"),
    ("WO 2021\u2013123456 A2", "WO2021123456A2"),
    ("US\u0967\u0968\u0969\u096a\u096b\u096c\u096dA", "US1234567A"),  # Devanagari digits: IDs and links are ASCII
    ("EP \u0661\u0662\u0663\u0664\u0665\u0666\u0667 A1", "EP1234567A1"),  # Arabic-Indic
    # no publication number
    ("公開號", None),
    ("1234567A1", None),  # no country
    ("XX1234567A1", None),  # no such office
    ("TWIM123456B", None),  # letters inside the number
    ("EP1234567A12", None),  # a kind code of three characters
    ("EPA1", None),
    ("US 1,23,456 B2", None),  # commas that are no thousands separators
    ('=HYPERLINK("http://x","US9999999B2")', None),
    ("US" + "1" * 500 + "B2", None),
]


@pytest.mark.parametrize("written, expected", WRITTEN_AND_ID)
def test_written_forms_and_their_ids(written, expected):
    item = numbers.parse(written)
    assert item.id == expected
    assert item.status == "" if expected else item.status.startswith("格式不符：")
    assert item.address == (f"https://patents.google.com/patent/{expected}" if expected else None)
    assert len(item.text) <= numbers.MAX_ENTRY + 1 and "\n" not in item.text


@pytest.mark.parametrize(
    "written, identity, status",
    [
        # US application publications in DOCDB's form: year and six digits; the page has seven
        ("US2020123456A1", "US20200123456A1", ""),
        ("US 2021/0123456 A", "US20210123456", "美國公開案無 A 種類碼"),
        # Taiwan's certificate numbers without the country, and a digit 1 for its letter I
        ("I723456", "TWI723456B", ""),
        ("M612345", "TWM612345U", ""),
        ("D212345", "TWD212345S", ""),
        ("發明第I723456號", "TWI723456B", ""),
        ("新型第M612345號", "TWM612345U", ""),
        ("TW 1723456 B", "TWI723456B", "已更正為 TWI723456B"),
        # Japan's and Korea's own forms
        ("特開2019-123456", "JP2019123456A", ""),
        ("JP 特開2019-123456", "JP2019123456A", ""),
        ("特開平10-123456", "JPH10123456A", ""),
        ("特表2019-123456", "JP2019123456A", ""),
        ("再表2019/123456", "JPWO2019123456A1", ""),
        ("特許第6789012号", "JP6789012B2", ""),
        ("実用新案登録第3212345号", "JP3212345U", ""),
        ("10-2020-0012345", "KR20200012345A", ""),
        # applications' numbers: named, never linked
        ("CN 201910123456.7", "申請號，非公開號 CN201910123456.7", "申請號，非公開號"),
        ("16/123,456", "申請號，非公開號 US16/123,456", "申請號，非公開號"),
        ("PCT/US2019/012345", "申請號，非公開號 PCT/US2019/012345", "申請號，非公開號"),
        ("108123456", "申請號，非公開號 TW108123456", "申請號，非公開號"),
        ("EP 99 203 729.1", "申請號，非公開號 EP99203729.1", "申請號，非公開號"),
        # no number, and why
        ("XX1234567A1", None, "格式不符：無此國別或機構代碼 XX"),
        ("1234567A1", None, "格式不符：缺少國別代碼"),
        ("公開號", None, "格式不符：不含號碼"),
    ],
)
def test_the_forms_offices_use_read_as_meant(written, identity, status):
    item = numbers.parse(written)
    assert (item.identity, item.status) == (identity, status)
    linked = identity is not None and not item.application
    assert item.address == (f"https://patents.google.com/patent/{identity}" if linked else None)


@pytest.mark.parametrize(
    "cell, entries",
    [
        ("US 10,123,456 B2", ["US 10,123,456 B2"]),
        ("US 10,123,456 B2, US 9,876,543 B1", ["US 10,123,456 B2", "US 9,876,543 B1"]),
        ("EP1234567A1；TW I 123456 B\nUS10123456", ["EP1234567A1", "TW I 123456 B", "US10123456"]),
        ("EP1234567A1 EP7654321B1", ["EP1234567A1", "EP7654321B1"]),
        ("EP1234567A1、JP H10-123456 A", ["EP1234567A1", "JP H10-123456 A"]),
        ("EP1234567A1; 備註", ["EP1234567A1; 備註"]),  # not all numbers: one entry, listed as it is
    ],
)
def test_a_cell_with_several_numbers_gives_one_entry_each(cell, entries):
    assert numbers.split_cell(cell) == entries


def test_later_spellings_of_the_same_document_are_repeats():
    items = numbers.mark_repeats(
        [
            numbers.parse(t)
            for t in (
                "US10123456B2",
                "not one",
                "US 10,123,456 B2",
                "US 2020/0123456 A1",
                "US2020123456A1",
                "TW 1723456 B",
                "I723456",
                "16/123,456",
                "US 16/123456",
                "not one",
                "TW1723456",  # a slip that is also a repeat: both are said
            )
        ]
    )
    assert [i.status for i in items] == [
        "",
        "格式不符：不含號碼",
        "重複（同序號 1）",
        "",
        "重複（同序號 4）",
        "已更正為 TWI723456B",
        "重複（同序號 6）",
        "申請號，非公開號",
        "重複（同序號 8）；申請號，非公開號",
        "格式不符：不含號碼",
        "重複（同序號 6）；已更正為 TWI723456B",
    ]
    assert items[2].address == items[0].address  # a repeat keeps its link


@pytest.mark.parametrize(
    "written, country, number",
    [
        ("PCT/US2019/012345", "WO", "PCT/US2019/012345"),  # one number, WIPO's
        ("pct / us 2019 / 012345", "WO", "PCT/US2019/012345"),
        ("PCT/GB02/04635", "WO", "PCT/GB02/04635"),  # before 2004: two digits of the year, five of the serial
        ("EP 99 203 729.1", "EP", "99203729.1"),
    ],
)
def test_an_applications_number_is_kept_whole(written, country, number):
    item = numbers.parse(written)
    assert (item.country, item.number, item.application) == (country, number, True)


@pytest.mark.parametrize(
    "held, first",
    [
        ({"A3": "20090911", "A2": "20090709"}, ["A2", "A3"]),
        ({"A3": "", "A1": ""}, ["A1", "A3"]),  # undated: the search report published alone still last
        ({"B": "20160914", "A": "20101208"}, ["A", "B"]),
        ({"B1": "20030212", "A1": ""}, ["A1", "B1"]),  # the publication before the grant, dated or not
        ({"A4": "20110105", "A2": "20100908", "A8": "20100101"}, ["A2", "A8", "A4"]),  # never a correction first
        ({"A9": "20200101", "A1": "20190101"}, ["A1", "A9"]),
        ({"U": "20200101", "B2": "20190101"}, ["U", "B2"]),
        ({"A3": "20090911", "B1": "20120101"}, ["B1", "A3"]),  # a whole document before a search report
        ({"A3": "20090911"}, ["A3"]),  # all there is
    ],
)
def test_the_kind_a_number_without_one_means(held, first):
    assert numbers.first_publication(held) == first
