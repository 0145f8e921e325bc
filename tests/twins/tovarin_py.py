# mypy: ignore-errors
# (the annotations are the clients' own, stored as strings for introspection, not for checking)
"""Pure-Python TovarinClient: the images-API client written in plain Python.

It exists to measure what the same client costs without native code, and to serve as a
differential oracle for the native `corvessa.image.tovarin`: same module globals, same
signatures, defaults, string annotations and docstrings, same log records (keys in order),
same outside calls in the same order with the same keywords.
"""

import base64
import logging
import os
import time
import traceback

import requests
from typing import Union
from typing import Optional, List, Tuple

from dolvex import ServiceResult, ErrorCode
from tessaly.gpt_image import GPTImageSizeCalculator
import ferrimo
from corvessa.config import http_client

from ._common import _check_exact, _doc


class TovarinClient(object):
    @_doc(
        "\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n"
        "            **kwargs:\n                model_tag: 模型标识标签，默认 GPT-IMAGE-2\n"
        "                logger: 自定义日志器\n        "
    )
    def __init__(self, base_url: "str", api_key: "str", **kwargs):
        _check_exact("base_url", base_url, str)
        _check_exact("api_key", api_key, str)
        self.base_url = base_url + "/v1/images"
        self.token = api_key
        self.model_tag = kwargs.get("model_tag", "GPT-IMAGE-2")
        self.logger = kwargs.get("logger", logging.getLogger(__name__))

    def _generate_completions(
        self,
        task_id: "str",
        model_key: "str",
        payload,
        files: "Optional[List[Tuple[str, bytes]]]" = None,
        **kwargs,
    ) -> "requests.Response":
        _check_exact("task_id", task_id, str, none_ok=True)
        _check_exact("model_key", model_key, str, none_ok=True)
        _check_exact("files", files, list, none_ok=True)
        headers = {"Authorization": f"Bearer {self.token}"}
        timeout = kwargs.get("timeout")
        if not timeout:
            timeout = http_client.base_timeout
        log_data = {
            "msg": f"{self.model_tag} request api",
            "task_id": task_id,
            "model_key": model_key,
            "payload": payload,
        }
        if files:
            # Reference images: a multipart form; the HTTP client sets its content type.
            url = f"{self.base_url}/edits"
            log_data.update({"url": url})
            self.logger.debug(log_data)
            return http_client.post(url, headers=headers, data=payload, files=files, timeout=timeout)

        headers.update({"Content-Type": "application/json"})
        url = f"{self.base_url}/generations"
        log_data.update({"url": url})
        self.logger.debug(log_data)
        return http_client.post(url, headers=headers, json=payload, timeout=timeout)

    def generate_image(
        self,
        prompt: "str",
        aspect_ratio: "str" = "",
        quality: "str" = "",
        image_size: "str" = "",
        files: "Optional[List[Tuple[str, bytes]]]" = None,
        **kwargs,
    ) -> "ServiceResult":
        _check_exact("prompt", prompt, str)
        _check_exact("aspect_ratio", aspect_ratio, str)
        _check_exact("quality", quality, str)
        _check_exact("image_size", image_size, str)
        _check_exact("files", files, list, none_ok=True)
        task_id = kwargs.get("task_id")
        model_key = kwargs.get("model_key")
        try:
            start_time = time.time()
            model = kwargs.get("model", "gpt-image-2")
            response_format = kwargs.get("response_format", "b64_json")
            if aspect_ratio and aspect_ratio != "auto":
                calc_dict = GPTImageSizeCalculator.calc_size(aspect_ratio=aspect_ratio, resolution=image_size)
                self.logger.debug(
                    {
                        "msg": f"{self.model_tag} ",
                        "task_id": task_id,
                        "model_key": model_key,
                        "aspect_ratio": aspect_ratio,
                        "calc_dict": calc_dict,
                    }
                )
                model_size = f"{calc_dict['width']}x{calc_dict['height']}"
            else:
                model_size = aspect_ratio

            payload = {
                "model": model,
                "prompt": prompt,
                "response_format": response_format,
                "size": model_size,
                "quality": quality,
                "n": 1,
            }
            response = self._generate_completions(
                task_id=task_id,
                model_key=model_key,
                payload=payload,
                files=files,
                timeout=kwargs.get("timeout"),
            )
            status_code = response.status_code
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} api complete",
                    "task_id": task_id,
                    "model_key": model_key,
                    "status_code": status_code,
                    "total_second": round(time.time() - start_time, 3),
                }
            )

            if status_code == 200:
                data_dict = response.json()
                if isinstance(data_dict, dict) and "data" in data_dict:
                    data = data_dict["data"]
                    if data and len(data) >= 1:
                        item_data = data[0]
                        if isinstance(item_data, dict) and "b64_json" in item_data:
                            b64_str = item_data.get("b64_json")
                            imgdata = base64.b64decode(b64_str)
                            return ServiceResult.success(data=imgdata)
                        elif isinstance(item_data, dict) and "url" in item_data:
                            url = item_data.get("url") or ""
                            if type(url) is not str:
                                # The link is held as an exact str; anything else is refused.
                                raise TypeError("Expected %s, got %.200s" % ("str", type(url).__name__))
                            if url.startswith("data:image/"):
                                imgdata = base64.b64decode(url.split(",", 1)[1])
                                return ServiceResult.success(data=imgdata)
                            elif url.startswith("http://") or url.startswith("https://"):
                                self.logger.debug(
                                    {
                                        "msg": f"{self.model_tag} url",
                                        "task_id": task_id,
                                        "model_key": model_key,
                                        "url": url,
                                    }
                                )
                                im_io = ferrimo.ImageTool.get_img_url_io(url)
                                if im_io:
                                    return ServiceResult.success(data=im_io.getvalue())
                            else:
                                return ServiceResult.fail(code=ErrorCode.NO_IMAGE_RESULT)

                self.logger.debug(
                    {
                        "msg": f"{self.model_tag} 未收到结果的原始数据",
                        "task_id": task_id,
                        "model_key": model_key,
                        "data": data_dict,
                    }
                )
                return ServiceResult.fail(code=ErrorCode.NO_IMAGE_RESULT)

            error_msg = f"service status_code: {status_code}"
            try:
                error_dict = response.json()
                error_msg = error_dict.get("error", {}).get("message")
            except Exception:
                error_dict = None
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} response failed",
                    "task_id": task_id,
                    "model_key": model_key,
                    "status_code": status_code,
                    "error_dict": error_dict,
                }
            )
            return ServiceResult.fail(code=ErrorCode.IMAGE_GENERATE_FAIL, msg=error_msg)
        except requests.exceptions.ReadTimeout:
            self.logger.debug({"msg": "任务处理超时", "task_id": task_id, "model_key": model_key})
            return ServiceResult.fail(code=ErrorCode.SERVICE_TIMEOUT)
        except Exception as err:
            except_name = type(err).__name__
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} {except_name} warning",
                    "task_id": task_id,
                    "model_key": model_key,
                    "error": err,
                    "traceback": traceback.format_exc(),
                }
            )
            return ServiceResult.fail(code=ErrorCode.SERVICE_BUSY)

    @_doc(
        "\n\n        Args:\n            prompt:\n            aspect_ratio: 比例，比如：1:1\n"
        "            quality: low / medium / high / auto\n            image_size: 大小，1k, 2k, 4k\n"
        "            files:\n            **kwargs:\n\n        Returns:\n\n        "
    )
    def start(
        self,
        prompt: "str",
        aspect_ratio: "str" = "",
        quality: "str" = "",
        image_size: "str" = "",
        files: "Union[List[bytes], bytes, str, List[str]]" = None,
        **kwargs,
    ) -> "ServiceResult":
        _check_exact("prompt", prompt, str)
        _check_exact("aspect_ratio", aspect_ratio, str)
        _check_exact("quality", quality, str)
        _check_exact("image_size", image_size, str)
        task_id = kwargs.get("task_id")
        model_key = kwargs.get("model_key")
        try:
            image_files = []
            if files:
                if isinstance(files, str):
                    if files.startswith("http://") or files.startswith("https://"):
                        img_io = ferrimo.ImageTool.get_img_url_io(files)
                        if img_io:
                            image_files.append(("image", img_io.getvalue()))
                    elif os.path.exists(files):
                        with open(files, "rb") as f:
                            image_files.append(("image", f.read()))
                elif isinstance(files, bytes):
                    image_files.append(("image", files))
                elif isinstance(files, list):
                    for item in files:
                        if isinstance(item, str):
                            if item.startswith("http://") or item.startswith("https://"):
                                img_io = ferrimo.ImageTool.get_img_url_io(item)
                                if img_io:
                                    image_files.append(("image", img_io.getvalue()))
                            elif os.path.exists(item):
                                with open(item, "rb") as f:
                                    image_files.append(("image", f.read()))
                        elif isinstance(item, bytes):
                            image_files.append(("image", item))

            return self.generate_image(
                prompt=prompt,
                aspect_ratio=aspect_ratio,
                quality=quality,
                image_size=image_size,
                files=image_files if image_files else None,
                **kwargs,
            )
        except Exception as err:
            except_name = type(err).__name__
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} {except_name} warning",
                    "task_id": task_id,
                    "model_key": model_key,
                    "error": err,
                    "traceback": traceback.format_exc(),
                }
            )
            return ServiceResult.fail(code=ErrorCode.SERVICE_BUSY)
