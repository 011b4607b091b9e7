<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU" sourcelanguage="en_US">
<context>
    <name>OLAboutDialog</name>
    <message>
        <source>About</source>
        <translation>О приложении</translation>
    </message>
    <message>
        <source>Ondaline</source>
        <translation>Ондалайн</translation>
    </message>
    <message>
        <source>Download new version</source>
        <translation>Скачать новую версию</translation>
    </message>
    <message>
        <source>Application for organizing backup Internet broadcasting of radio stations of the Veltamedia</source>
        <translation>Приложение для организации резервного интернет-вещания радиостанций Вельтамедиа</translation>
    </message>
    <message>
        <source>Logs storage period (days)</source>
        <translation>Период хранения логов (дни)</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Язык</translation>
    </message>
    <message>
        <source>Developed by order of: &lt;a href=&quot;https://veltamedia.example/&quot;&gt;Вельтамедиа&lt;/a&gt;</source>
        <translation>Разработано по заказу: &lt;a href=&quot;https://veltamedia.example/&quot;&gt;Вельтамедиа&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Developer: &lt;a href=&quot;https://tarnwell.example/&quot;&gt;Tarnwell&lt;/a&gt;</source>
        <translation>Разработчик: &lt;a href=&quot;https://tarnwell.example/&quot;&gt;Tarnwell&lt;/a&gt;</translation>
    </message>
</context>
<context>
    <name>OLApplicationWindow</name>
    <message>
        <source>Ondaline</source>
        <translation>Ондалайн</translation>
    </message>
    <message>
        <source>Output device</source>
        <translation>Устройство вывода</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Настройки детектора тишины</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Имя пользователя</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Выйти</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О приложении</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Закрыть</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Вы уверены?</translation>
    </message>
</context>
<context>
    <name>OLHub</name>
    <message>
        <source>Default device</source>
        <translation>Устройство по умолчанию</translation>
    </message>
</context>
<context>
    <name>OLIndicator</name>
    <message>
        <source>d</source>
        <translation>д</translation>
    </message>
    <message>
        <source>h</source>
        <translation>ч</translation>
    </message>
    <message>
        <source>min</source>
        <translation>мин</translation>
    </message>
    <message>
        <source>sec</source>
        <translation>сек</translation>
    </message>
</context>
<context>
    <name>OLKeepRunningDialog</name>
    <message>
        <source>Information</source>
        <translation>Информация</translation>
    </message>
    <message>
        <source>Ondaline will keep running in background</source>
        <translation>Ондалайн продолжит работать в трее</translation>
    </message>
    <message>
        <source>Do not show again</source>
        <translation>Не показывать снова</translation>
    </message>
</context>
<context>
    <name>OLLevelIndicatorItem</name>
    <message>
        <source>dB</source>
        <translation>дБ</translation>
    </message>
</context>
<context>
    <name>OLLoginView</name>
    <message>
        <source>Username required</source>
        <translation>Требуется имя пользователя</translation>
    </message>
    <message>
        <source>Password required</source>
        <translation>Требуется пароль</translation>
    </message>
    <message>
        <source>Authentication error</source>
        <translation>Ошибка аутентификации</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Имя пользователя</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Пароль</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>Войти</translation>
    </message>
    <message>
        <source>Download new version</source>
        <translation>Скачать новую версию</translation>
    </message>
</context>
<context>
    <name>OLMainView</name>
    <message>
        <source>Delete source</source>
        <translation>Удалить источник</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Вы уверены?</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>Станция</translation>
    </message>
    <message>
        <source>City</source>
        <translation>Город</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Имя пользователя</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Выйти</translation>
    </message>
    <message>
        <source>Download new version</source>
        <translation>Скачать новую версию</translation>
    </message>
    <message>
        <source>Add recording source</source>
        <translation>Добавить источник</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Настройки детектора тишины</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О приложении</translation>
    </message>
</context>
<context>
    <name>OLMainViewHeaderItem</name>
    <message>
        <source>Output device</source>
        <translation>Устройство вывода</translation>
    </message>
    <message>
        <source>Sources</source>
        <translation>Источники</translation>
    </message>
</context>
<context>
    <name>OLSilenceDetectionSettingsDialog</name>
    <message>
        <source>Silence detection settings</source>
        <translation>Настройки детектора тишины</translation>
    </message>
    <message>
        <source>Silence detection level (decibels)</source>
        <translation>Уровень обнаружения тишины (децибелы)</translation>
    </message>
    <message>
        <source>The duration of silence for detection (seconds)</source>
        <translation>Длительность тишины для обнаружения (секунд)</translation>
    </message>
    <message>
        <source>The duration of sound for detection (seconds)</source>
        <translation>Длительность звука для обнаружения (секунд)</translation>
    </message>
</context>
<context>
    <name>OLSourceDelegateItem</name>
    <message>
        <source>Playing</source>
        <translation>Играет</translation>
    </message>
    <message>
        <source>Not playing</source>
        <translation>Не играет</translation>
    </message>
    <message>
        <source>Conected</source>
        <translation>Подключен</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Отключен</translation>
    </message>
    <message>
        <source>Sound</source>
        <translation>Звук</translation>
    </message>
    <message>
        <source>Silent</source>
        <translation>Тишина</translation>
    </message>
    <message>
        <source>Volume level %</source>
        <translation>Громкость %</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Ondaline</source>
        <translation>Ондалайн</translation>
    </message>
    <message>
        <source>The application is already running.
Allowed to run only one instance of the application.</source>
        <translation>Приложение уже запущенно.
Разрешен запуск только одной копии приложения.</translation>
    </message>
    <message>
        <source>I couldn&apos;t detect any system tray on this system.</source>
        <translation>Не получилось найти трэй на этой ОС.</translation>
    </message>
</context>
</TS>
