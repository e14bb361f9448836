"""Keeps aiohttp_proxy's connector working with the installed aiohttp.

Imported by pelun_online_sdk.client when it loads.
"""
