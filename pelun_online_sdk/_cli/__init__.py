"""The command line of pelun_online_sdk: ``python -m pelun_online_sdk`` (``pelun-online-sdk``).

Nothing here is imported by ``pelun_online_sdk`` or ``pelun_online_sdk.client``:
the command's modules load only when the command runs.
"""
