"""The program's start-up up to its first window, written as a plain Python script: the same
imports, the same configuration reading and set-up, the same data source and the same window.
bench/startup.py times it against the program; run from a workspace that holds default.json,
data/config/velmora.json, locale/, velmora.ico and window.pickle, the recording of the program's
window that bench/startup.py makes before it times."""
import argparse
import gettext
import json
import locale
import logging
import logging.config
import os
import ssl
import sys
import warnings

warnings.filterwarnings("ignore")

import PySimpleGUI as sg  # noqa: E402

ssl._create_default_https_context = ssl.create_default_context
warnings.filterwarnings("ignore")

import addict  # noqa: E402

USER_AGENT = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/133.0.0.0 Safari/537.36")


def rawSourceClient(httpx, data):
    """The HTTPS client that the configured raw source makes in its constructor."""
    if data.dataProvider == "eodds.EodDataSource":
        return httpx.Client(base_url="https://eodhd.com", params={"api_token": data.apiKey})
    return httpx.Client(base_url="https://query2.finance.yahoo.com", headers={"User-Agent": USER_AGENT})


def merge(source, destination):
    for key, value in source.items():
        if isinstance(value, dict):
            merge(value, destination.setdefault(key, {}))
        else:
            destination[key] = value
    return destination


def readConfiguration():
    parser = argparse.ArgumentParser(description="Zeltra Velmora", epilog="Copyright (c) 2025 Zeltra. All rights reserved.",
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--config", default="data/config/velmora.json", help="Configuration file")
    options = parser.parse_args()
    # As the program reads them: UTF-8 with or without a byte-order mark.
    with open("default.json", "r", encoding="utf-8-sig") as file:
        defaults = addict.Dict(json.load(file))
    with open(options.config, "r", encoding="utf-8-sig") as file:
        userConfig = addict.Dict(json.load(file))
        merge(userConfig, defaults)
        userConfig = addict.Dict(userConfig)
        config = addict.Dict(defaults)
        config.configFile = options.config
    return config, userConfig


def installLanguage(config):
    gettext.translation("velmora", "locale", fallback=True, languages=[config.gui.language]).install()
    locale.setlocale(locale.LC_ALL, config.gui.language)


def dataSource(config):
    """The raw source with its HTTPS client, and the empty price cache: the benchmark's
    workspace holds no cache file, so the program too looks for it and starts empty. Like
    the program, this loads the network and table packages only now, after the locale is set."""
    import httpx
    import pandas as pd

    client = rawSourceClient(httpx, config.data)
    try:
        open(config.data.cacheName, "rb").close()
        raise RuntimeError("the benchmark expects no price cache in its workspace")
    except FileNotFoundError:
        cache = pd.DataFrame(index=pd.DatetimeIndex([], name="Date"))
    return client, cache


def windowIcon():
    """Tk on X11 reads no .ico file: the program gives the window the icon's image as PNG data,
    converted by Pillow, which its chart tab loads as well."""
    import base64
    import io

    import PIL.Image

    png = io.BytesIO()
    PIL.Image.open("velmora.ico").save(png, format="PNG")
    return base64.b64encode(png.getvalue())


def chartTexts():
    """The recommendation tab reads every installed catalogue when it makes its tab, to know the
    chart texts it wrote in another language."""
    import glob

    for path in glob.glob("locale/*/LC_MESSAGES/velmora.mo"):
        with open(path, "rb") as file:
            gettext.GNUTranslations(file)


def forcedSettings(config):
    """The recommendation form's rules force some settings as its fields are filled, and a setting is
    assigned with glom, which is imported at that first assignment."""
    import glom

    glom.assign(config, "allocation.method", config.allocation.method)


def mainWindow(config):
    import window_layout

    installLanguage(config)
    chartTexts()
    forcedSettings(config)
    # The tabs' elements, made with the arguments the program made them with.
    tabs = sg.TabGroup(window_layout.tabsOfWindow("window.pickle"), enable_events=True, key="mainTab",
                       expand_x=True, expand_y=True)
    window = sg.Window(_("Velmora"), [[tabs]], icon=windowIcon(), size=config.gui.size, resizable=True,  # noqa: F821
                       enable_close_attempted_event=True, return_keyboard_events=True,
                       location=config.gui.position or (None, None))
    window.finalize()
    sg.OneLineProgressMeterCancel()
    return window


def main():
    config, userConfig = readConfiguration()
    logging.config.dictConfig(config.logging)
    installLanguage(config)
    sg.ChangeLookAndFeel("TanBlue")
    logging.getLogger().info("velmora 0.02.0013 started")
    source = dataSource(config)  # noqa: F841
    window = mainWindow(config)
    if os.environ.get("VELMORA_BENCH_MODULES"):
        # The comparison run: which modules are loaded once the window is there.
        with open(os.environ["VELMORA_BENCH_MODULES"], "w") as file:
            json.dump(list(sys.modules), file)
        return
    while True:
        event, values = window.read()
        if event in (sg.WIN_CLOSE_ATTEMPTED_EVENT, None):
            break
    window.close()


if __name__ == "__main__":
    main()
