"""
One call interface over the OpenAI, Anthropic and Google GenAI client libraries.
"""



class Promptel:
    """A model of one vendor: `provider`, `model_name` and its `client`."""

    def __init__(self, provider: object | None, model_name: object | None, api_key: object | None) -> None: ...

    def call(self, user_prompt: object | None, system_prompt: object | None = None, **kwargs) -> object:
        """
        Send `user_prompt` (and a non-empty `system_prompt`) to the model and return its reply text, or None when the reply holds no text.
        """

def default_llm() -> object:
    """
    A Promptel for the vendor whose key is in the environment: Anthropic, else OpenAI, else Google.
    """
