<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>OLAboutDialog</name>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Ondaline</source>
        <translation>Ondaline</translation>
    </message>
    <message>
        <source>Download new version</source>
        <translation>Download new version</translation>
    </message>
    <message>
        <source>Application for organizing backup Internet broadcasting of radio stations of the Veltamedia</source>
        <translation>Application for organizing backup Internet broadcasting of radio stations of the Veltamedia</translation>
    </message>
    <message>
        <source>Logs storage period (days)</source>
        <translation>Logs storage period (days)</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>Developed by order of: &lt;a href=&quot;https://veltamedia.example/&quot;&gt;Вельтамедиа&lt;/a&gt;</source>
        <translation>Developed by order of: &lt;a href=&quot;https://veltamedia.example/&quot;&gt;Вельтамедиа&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Developer: &lt;a href=&quot;https://tarnwell.example/&quot;&gt;Tarnwell&lt;/a&gt;</source>
        <translation>Developer: &lt;a href=&quot;https://tarnwell.example/&quot;&gt;Tarnwell&lt;/a&gt;</translation>
    </message>
</context>
<context>
    <name>OLApplicationWindow</name>
    <message>
        <source>Ondaline</source>
        <translation>Ondaline</translation>
    </message>
    <message>
        <source>Output device</source>
        <translation>Output device</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Silence detection settings</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Username</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Logout</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Are you sure?</translation>
    </message>
</context>
<context>
    <name>OLHub</name>
    <message>
        <source>Default device</source>
        <translation>Default device</translation>
    </message>
</context>
<context>
    <name>OLIndicator</name>
    <message>
        <source>d</source>
        <translation>d</translation>
    </message>
    <message>
        <source>h</source>
        <translation>h</translation>
    </message>
    <message>
        <source>min</source>
        <translation>min</translation>
    </message>
    <message>
        <source>sec</source>
        <translation>sec</translation>
    </message>
</context>
<context>
    <name>OLKeepRunningDialog</name>
    <message>
        <source>Information</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>Ondaline will keep running in background</source>
        <translation>Ondaline will keep running in background</translation>
    </message>
    <message>
        <source>Do not show again</source>
        <translation>Do not show again</translation>
    </message>
</context>
<context>
    <name>OLLevelIndicatorItem</name>
    <message>
        <source>dB</source>
        <translation>dB</translation>
    </message>
</context>
<context>
    <name>OLLoginView</name>
    <message>
        <source>Username required</source>
        <translation>Username required</translation>
    </message>
    <message>
        <source>Password required</source>
        <translation>Password required</translation>
    </message>
    <message>
        <source>Authentication error</source>
        <translation>Authentication error</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Username</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>Login</translation>
    </message>
    <message>
        <source>Download new version</source>
        <translation>Download new version</translation>
    </message>
</context>
<context>
    <name>OLMainView</name>
    <message>
        <source>Delete source</source>
        <translation>Delete source</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Are you sure?</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>Station</translation>
    </message>
    <message>
        <source>City</source>
        <translation>City</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Username</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Logout</translation>
    </message>
    <message>
        <source>Download new version</source>
        <translation>Download new version</translation>
    </message>
    <message>
        <source>Add recording source</source>
        <translation>Add recording source</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Silence detection settings</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
</context>
<context>
    <name>OLMainViewHeaderItem</name>
    <message>
        <source>Output device</source>
        <translation>Output device</translation>
    </message>
    <message>
        <source>Sources</source>
        <translation>Sources</translation>
    </message>
</context>
<context>
    <name>OLSilenceDetectionSettingsDialog</name>
    <message>
        <source>Silence detection settings</source>
        <translation>Silence detection settings</translation>
    </message>
    <message>
        <source>Silence detection level (decibels)</source>
        <translation>Silence detection level (decibels)</translation>
    </message>
    <message>
        <source>The duration of silence for detection (seconds)</source>
        <translation>The duration of silence for detection (seconds)</translation>
    </message>
    <message>
        <source>The duration of sound for detection (seconds)</source>
        <translation>The duration of sound for detection (seconds)</translation>
    </message>
</context>
<context>
    <name>OLSourceDelegateItem</name>
    <message>
        <source>Playing</source>
        <translation>Playing</translation>
    </message>
    <message>
        <source>Not playing</source>
        <translation>Not playing</translation>
    </message>
    <message>
        <source>Conected</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>Sound</source>
        <translation>Sound</translation>
    </message>
    <message>
        <source>Silent</source>
        <translation>Silent</translation>
    </message>
    <message>
        <source>Volume level %</source>
        <translation>Volume level %</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Ondaline</source>
        <translation>Ondaline</translation>
    </message>
    <message>
        <source>The application is already running.
Allowed to run only one instance of the application.</source>
        <translation>The application is already running.
Allowed to run only one instance of the application.</translation>
    </message>
    <message>
        <source>I couldn&apos;t detect any system tray on this system.</source>
        <translation>I couldn't detect any system tray on this system.</translation>
    </message>
</context>
</TS>
