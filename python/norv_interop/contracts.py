"""The wire contracts' generated protobuf messages and gRPC stubs.

Generated at build time from ``norv/contracts/v1/*.proto`` with protoc and
gRPC's Python plugin, and installed as the package ``norv.contracts.v1``
(the contracts' own protobuf package), which is where the generated modules
import each other from. This module names them in one place:

- ``types_pb2``: the shared values (DateTime, StringList, the record lists,
  LogOnRequest, Empty);
- ``data_service_pb2``, ``data_service_pb2_grpc``: ``norv.contracts.v1.DataService``;
- ``application_launcher_pb2``, ``application_launcher_pb2_grpc``:
  ``norv.contracts.v1.ApplicationLauncher``;
- ``shutdown_pb2``, ``shutdown_pb2_grpc``: ``norv.contracts.v1.Shutdown``.
"""

from norv.contracts.v1 import application_launcher_pb2
from norv.contracts.v1 import application_launcher_pb2_grpc
from norv.contracts.v1 import data_service_pb2
from norv.contracts.v1 import data_service_pb2_grpc
from norv.contracts.v1 import shutdown_pb2
from norv.contracts.v1 import shutdown_pb2_grpc
from norv.contracts.v1 import types_pb2

__all__ = [
    "application_launcher_pb2", "application_launcher_pb2_grpc", "data_service_pb2",
    "data_service_pb2_grpc", "shutdown_pb2", "shutdown_pb2_grpc", "types_pb2",
    "DATA_SERVICE_ENDPOINT", "LAUNCHER_ENDPOINT", "SHUTDOWN_ENDPOINT",
]

# The endpoint names of the contracts, as the C++ hosts and channels use them.
DATA_SERVICE_ENDPOINT = "Norv.ServiceModel.Contracts.Service.IDataService"
LAUNCHER_ENDPOINT = "ApplicationLauncher"
SHUTDOWN_ENDPOINT = "Shutdown"
