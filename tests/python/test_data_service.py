"""A Python data service answers the C++ data-service bridge (norvctl data)."""

import datetime
import json
import unittest

from support import EndpointTestCase

from norv_interop import DataServiceHost
from norv_interop.contracts import data_service_pb2
from norv_interop.values import (Record, date_time_results_to_wire, date_time_to_wire,
                                 double_results_to_wire, get_string, strings_to_wire)

PID = 4242


class Service:
    def __init__(self):
        self.requests = []

    def GetAuthors(self, request, context):
        self.requests.append(request)
        reply = data_service_pb2.StringListReply()
        strings_to_wire(["Ada", None, "Bo"], reply.value)
        return reply

    def GetForecastLifeList(self, request, context):
        reply = data_service_pb2.DateTimeResultSetListReply()
        date_time_results_to_wire([Record(7, datetime.datetime(2011, 3, 7, 23, 59)),
                                   Record(9, datetime.date(1999, 12, 31))], reply.value)
        return reply

    def GetForecastLife(self, request, context):
        reply = data_service_pb2.DateTimeReply()
        date_time_to_wire(datetime.date(2030, 1, 2), reply.value)
        return reply

    def GetForecastEURList(self, request, context):
        reply = data_service_pb2.DoubleResultSetListReply()
        double_results_to_wire([(1, 10.5), (2, 20.25)], reply.value)
        return reply

    def GetForecastEUR(self, request, context):
        raise RuntimeError("no forecast %s of borehole %d" % (request.template_name,
                                                               request.borehole_id))


class DataServiceTest(EndpointTestCase):
    def setUp(self):
        super().setUp()
        self.service = Service()
        self.host = self.enterContext(DataServiceHost(self.service, PID))

    def query(self, command, *extra, env=None):
        return self.norvctl("data", command, "--pid", str(PID), "--project", "/p/Ost",
                            "--user", "ada", "--password-stdin", "--json", *extra,
                            stdin="sesame\n", env=env)

    def test_authors_with_a_null_entry_reach_the_bridge(self):
        status, out, err = self.query("authors")
        self.assertEqual(status, 0, err)
        # The bridge's rule: a null name becomes "", in its place.
        self.assertEqual(json.loads(out), ["Ada", "", "Bo"])
        request = self.service.requests[0]
        self.assertEqual([get_string(request, f) for f in ("project_path", "user_name",
                                                           "password")],
                         ["/p/Ost", "ada", "sesame"])

    def test_life_dates_come_in_the_callers_culture(self):
        expected = {"de_DE.UTF-8": ["07.03.2011", "31.12.1999"],
                    "C.UTF-8": ["3/7/2011", "12/31/1999"]}
        for locale, dates in expected.items():
            status, out, err = self.query("life-list", "--forecast", "Base", "--author", "ada",
                                          env={"LC_ALL": locale})
            self.assertEqual(status, 0, err)
            self.assertEqual(json.loads(out), [{"key": 7, "value": dates[0]},
                                               {"key": 9, "value": dates[1]}], locale)
        status, out, err = self.query("forecast-life", "--borehole", "3", "--template", "Base",
                                      "--author", "ada", env={"LC_ALL": "de_DE.UTF-8"})
        self.assertEqual((status, json.loads(out)), (0, "02.01.2030"), err)

    def test_a_raising_servicer_is_a_fault_carrying_its_message(self):
        status, out, err = self.query("forecast-eur", "--borehole", "3", "--template", "Base",
                                      "--author", "ada")
        self.assertEqual(status, 1)
        self.assertEqual(
            err.strip(),
            "norvctl: process 4242, endpoint Norv.ServiceModel.Contracts.Service.IDataService, "
            "operation GetForecastEUR: the service raised a fault: no forecast Base of "
            "borehole 3")

    def test_a_reply_over_the_item_limit_is_refused(self):
        self.host.max_items = 1
        status, out, err = self.query("eur-list", "--forecast", "Base", "--author", "ada")
        self.assertEqual(status, 1)
        self.assertIn("the reply of operation GetForecastEURList carries 2 list items, more "
                      "than the 1 that the host's MaxItemsInObjectGraph allows", err)


if __name__ == "__main__":
    unittest.main()
