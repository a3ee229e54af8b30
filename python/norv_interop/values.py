"""Null versus empty, dates and record lists, as the wire carries them.

- A **null string** is an absent ``optional string`` field; the empty string
  is a present field holding ``""``. Here a null string is ``None``. Read
  and write presence (``HasField``), never a field's default: a loader that
  fills in defaults turns every null into ``""``.
- A **null collection** is an absent ``value`` field of a reply; an empty
  one is a present message with no entries. Here the null collection is
  ``None``.
- Collections travel as **packed parallel columns**. A ``nulls`` column is
  either empty (no entry is null) or holds one flag per row; a null row
  still fills its place in every other column with zeros or ``""``. Here a
  null entry (a null string in a list, a null record in a record list) is
  ``None``, and a record is a ``Record(id, value)``.
- A **date-time** is civil: year, month, day, hour, minute, second and
  nanosecond, without a time zone. It must lie in the calendar (year 1 to
  9999, a day its month has, time fields in range); a receiver refuses any
  other value. Here it is a ``datetime.datetime`` (a ``datetime.date`` is
  taken as its midnight); Python keeps microseconds, so nanoseconds below a
  microsecond are dropped on the way in.

Decoders check the columns as the C++ component does and raise
MalformedMessage, with the same wording, for a message that contradicts
the contract.

Thread-safety: functions without shared state.
"""

import collections
import datetime

from .errors import MalformedMessage

Record = collections.namedtuple("Record", ["id", "value"])
Record.__doc__ = "One record of a record list: its 32-bit ``id`` and its ``value``."


def get_string(message, field):
    """The string in ``message.field``, or None when the field is absent (null)."""
    return getattr(message, field) if message.HasField(field) else None


def set_string(message, field, value):
    """Sets ``message.field`` to ``value``; None leaves it absent (null)."""
    if value is None:
        message.ClearField(field)
    else:
        setattr(message, field, value)


def _check_column(column, rows, what, name):
    if len(column) != rows:
        raise MalformedMessage("the %s has %d rows but its column '%s' has %d entries"
                               % (what, rows, name, len(column)))


def _check_nulls(nulls, rows, what, name):
    if len(nulls):
        _check_column(nulls, rows, what, name)


def _is_null(nulls, i):
    return len(nulls) != 0 and nulls[i]


# ---- Date-times.

_DAYS = (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


def _check_calendar(fields, what):
    year, month, day, hour, minute, second, nanosecond = fields

    def refuse(field, value, allowed):
        raise MalformedMessage("%s has %s %d, outside %s" % (what, field, value, allowed))

    if not 1 <= year <= 9999:
        refuse("year", year, "1 to 9999")
    if not 1 <= month <= 12:
        refuse("month", month, "1 to 12")
    leap = (year % 4 == 0 and year % 100 != 0) or year % 400 == 0
    days = _DAYS[month - 1] + (1 if month == 2 and leap else 0)
    if not 1 <= day <= days:
        refuse("day", day, "1 to %d (month %d of %d)" % (days, month, year))
    if not 0 <= hour <= 23:
        refuse("hour", hour, "0 to 23")
    if not 0 <= minute <= 59:
        refuse("minute", minute, "0 to 59")
    if not 0 <= second <= 59:
        refuse("second", second, "0 to 59")
    if not 0 <= nanosecond <= 999999999:
        refuse("nanosecond", nanosecond, "0 to 999999999")


def _fields_of(value):
    if isinstance(value, datetime.datetime):
        return (value.year, value.month, value.day, value.hour, value.minute, value.second,
                value.microsecond * 1000)
    if isinstance(value, datetime.date):
        return (value.year, value.month, value.day, 0, 0, 0, 0)
    raise TypeError("a date-time must be a datetime.datetime or datetime.date, not %s"
                    % type(value).__name__)


def _datetime_of(fields):
    year, month, day, hour, minute, second, nanosecond = fields
    return datetime.datetime(year, month, day, hour, minute, second, nanosecond // 1000)


def date_time_to_wire(value, out):
    """Fills the DateTime message ``out`` with ``value`` (a datetime or date)."""
    (out.year, out.month, out.day, out.hour, out.minute, out.second,
     out.nanosecond) = _fields_of(value)


def date_time_from_wire(message):
    """The datetime a DateTime message holds; raises MalformedMessage,
    naming the field, for one outside the calendar."""
    fields = (message.year, message.month, message.day, message.hour, message.minute,
              message.second, message.nanosecond)
    _check_calendar(fields, "the date-time")
    return _datetime_of(fields)


# ---- Lists of strings and numbers.

def strings_to_wire(values, out):
    """Fills the StringList ``out`` with ``values``, where None is a null entry."""
    values = list(values)
    out.values.extend("" if v is None else v for v in values)
    if any(v is None for v in values):
        out.nulls.extend(v is None for v in values)


def strings_from_wire(message):
    """The entries of a StringList, None for a null entry."""
    rows = len(message.values)
    _check_nulls(message.nulls, rows, "string list", "nulls")
    return [None if _is_null(message.nulls, i) else message.values[i] for i in range(rows)]


def int32s_to_wire(values, out):
    """Fills the Int32List ``out``."""
    out.values.extend(values)


def int32s_from_wire(message):
    """The entries of an Int32List."""
    return list(message.values)


# ---- Record lists: each entry a Record(id, value) or None.

def _record_nulls(records, out):
    if any(r is None for r in records):
        out.nulls.extend(r is None for r in records)


def double_results_to_wire(records, out):
    """Fills the DoubleResultSetList ``out`` with (id, value) records or None."""
    records = list(records)
    out.ids.extend(0 if r is None else r[0] for r in records)
    out.values.extend(0.0 if r is None else r[1] for r in records)
    _record_nulls(records, out)


def double_results_from_wire(message):
    """The records of a DoubleResultSetList, None for a null record."""
    rows = len(message.ids)
    _check_column(message.values, rows, "double record list", "values")
    _check_nulls(message.nulls, rows, "double record list", "nulls")
    return [None if _is_null(message.nulls, i) else Record(message.ids[i], message.values[i])
            for i in range(rows)]


def string_results_to_wire(records, out):
    """Fills the StringResultSetList ``out`` with (id, value) records or
    None; a record's value may be None (a null string)."""
    records = list(records)
    out.ids.extend(0 if r is None else r[0] for r in records)
    out.values.extend("" if r is None or r[1] is None else r[1] for r in records)
    if any(r is not None and r[1] is None for r in records):
        out.value_nulls.extend(r is not None and r[1] is None for r in records)
    _record_nulls(records, out)


def string_results_from_wire(message):
    """The records of a StringResultSetList: None for a null record, a
    record whose value is None for a null string."""
    rows = len(message.ids)
    what = "string record list"
    _check_column(message.values, rows, what, "values")
    _check_nulls(message.value_nulls, rows, what, "value_nulls")
    _check_nulls(message.nulls, rows, what, "nulls")
    return [None if _is_null(message.nulls, i) else
            Record(message.ids[i],
                   None if _is_null(message.value_nulls, i) else message.values[i])
            for i in range(rows)]


_DATE_COLUMNS = ("years", "months", "days", "hours", "minutes", "seconds", "nanoseconds")


def date_time_results_to_wire(records, out):
    """Fills the DateTimeResultSetList ``out`` with (id, datetime) records
    or None. Every column is filled for every row, the time columns too."""
    records = list(records)
    fields = [(0,) * 7 if r is None else _fields_of(r[1]) for r in records]
    out.ids.extend(0 if r is None else r[0] for r in records)
    for index, column in enumerate(_DATE_COLUMNS):
        getattr(out, column).extend(f[index] for f in fields)
    _record_nulls(records, out)


def date_time_results_from_wire(message):
    """The records of a DateTimeResultSetList, None for a null record.
    One date outside the calendar refuses the whole list."""
    rows = len(message.ids)
    what = "date-time record list"
    columns = [getattr(message, name) for name in _DATE_COLUMNS]
    for name, column in zip(_DATE_COLUMNS, columns):
        _check_column(column, rows, what, name)
    _check_nulls(message.nulls, rows, what, "nulls")
    out = []
    for i in range(rows):
        if _is_null(message.nulls, i):
            out.append(None)
            continue
        fields = tuple(column[i] for column in columns)
        _check_calendar(fields, "the date-time of record %d" % i)
        out.append(Record(message.ids[i], _datetime_of(fields)))
    return out
