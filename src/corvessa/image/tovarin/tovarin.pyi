# Type stubs of the native module corvessa.image.tovarin.
import logging
from typing import Any, List, Optional, Tuple, Union

import requests
from dolvex import ErrorCode as ErrorCode, ServiceResult as ServiceResult

class TovarinClient:
    base_url: str
    token: str
    model_tag: Any
    logger: logging.Logger | Any
    def __init__(self, base_url: str, api_key: str, **kwargs: Any) -> None: ...
    def _generate_completions(
        self,
        task_id: Optional[str],
        model_key: Optional[str],
        payload: dict[str, Any],
        files: Optional[List[Tuple[str, bytes]]] = None,
        **kwargs: Any,
    ) -> requests.Response: ...
    def generate_image(
        self,
        prompt: str,
        aspect_ratio: str = "",
        quality: str = "",
        image_size: str = "",
        files: Optional[List[Tuple[str, bytes]]] = None,
        **kwargs: Any,
    ) -> ServiceResult: ...
    def start(
        self,
        prompt: str,
        aspect_ratio: str = "",
        quality: str = "",
        image_size: str = "",
        files: Union[List[bytes], bytes, str, List[str], List[str | bytes], None] = None,
        **kwargs: Any,
    ) -> ServiceResult: ...
