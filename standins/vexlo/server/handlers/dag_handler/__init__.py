"""The pipeline registry: each kernel's pipeline, keyed by kernel id.

The product's front end fills it as cells run; here a small authenticated
JSON API lets another process (a demo, a browser, a load test) register one.
"""
import json
from typing import Dict

from jupyter_server.base.handlers import APIHandler
from pydantic import ValidationError
from tornado import web

from vexlo_core.misc.models import VexloPipelineModel

dag_cabinet: Dict[str, VexloPipelineModel] = {}


class DagCabinetHandler(APIHandler):
    """PUT, GET and DELETE the pipeline of the kernel named by ?kernel_id=."""

    def _kernel_id(self) -> str:
        kernel_id = self.get_query_argument("kernel_id", "")
        if not kernel_id:
            raise web.HTTPError(400, "kernel_id is required in the parameters of the query.")
        return kernel_id

    @web.authenticated
    def put(self) -> None:
        kernel_id = self._kernel_id()
        try:
            pipeline = VexloPipelineModel.model_validate(json.loads(self.request.body or b"{}"))
        except (ValueError, ValidationError) as exp:
            raise web.HTTPError(400, str(exp)) from exp
        dag_cabinet[kernel_id] = pipeline
        self.finish({"kernel_id": kernel_id, "components": len(pipeline.graph.components)})

    @web.authenticated
    def get(self) -> None:
        kernel_id = self._kernel_id()
        if kernel_id not in dag_cabinet:
            raise web.HTTPError(404, f"no pipeline for kernel {kernel_id}")
        self.set_header("Content-Type", "application/json")
        self.finish(dag_cabinet[kernel_id].model_dump_json())

    @web.authenticated
    def delete(self) -> None:
        dag_cabinet.pop(self._kernel_id(), None)
        self.set_status(204)
        self.finish()
