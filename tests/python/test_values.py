"""Null versus empty and date-times on the wire, read back as a Python
client of a data service would."""

import datetime
import unittest

from norv_interop import MalformedMessage
from norv_interop.contracts import types_pb2
from norv_interop import values


class ValuesTest(unittest.TestCase):
    def test_nulls_survive_a_trip_through_the_wire(self):
        strings = types_pb2.StringList()
        values.strings_to_wire(["", None, "x"], strings)
        self.assertEqual(values.strings_from_wire(
            types_pb2.StringList.FromString(strings.SerializeToString())), ["", None, "x"])

        records = types_pb2.StringResultSetList()
        values.string_results_to_wire([(1, None), None, (3, "")], records)
        self.assertEqual(values.string_results_from_wire(
            types_pb2.StringResultSetList.FromString(records.SerializeToString())),
            [(1, None), None, (3, "")])

        request = types_pb2.LogOnRequest()
        values.set_string(request, "user", "")
        values.set_string(request, "author", None)
        again = types_pb2.LogOnRequest.FromString(request.SerializeToString())
        self.assertEqual((values.get_string(again, "user"), values.get_string(again, "author")),
                         ("", None))

    def test_dates_keep_their_civil_fields_and_outside_the_calendar_are_refused(self):
        dates = types_pb2.DateTimeResultSetList()
        moment = datetime.datetime(2011, 3, 7, 23, 59, 58, 123456)
        values.date_time_results_to_wire([(4, moment), None], dates)
        self.assertEqual(list(dates.hours), [23, 0])  # every column, every row
        self.assertEqual(values.date_time_results_from_wire(dates), [(4, moment), None])

        dates.days[0] = 29
        dates.months[0] = 2
        with self.assertRaisesRegex(MalformedMessage, r"^the date-time of record 0 has day 29, "
                                    r"outside 1 to 28 \(month 2 of 2011\)$"):
            values.date_time_results_from_wire(dates)
        del dates.hours[1]
        with self.assertRaisesRegex(MalformedMessage, "^the date-time record list has 2 rows but "
                                    "its column 'hours' has 1 entries$"):
            values.date_time_results_from_wire(dates)


if __name__ == "__main__":
    unittest.main()
