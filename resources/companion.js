// The companion page: the figure on the desktop, the diary panel and the sync controls.
// The app drives it through the window.quillo* functions and hears back only through the
// "companion" message handler.
(() => {
    'use strict';

    // A walk is a handful of poses drawn from a timer over the window's 1.55 s slide: a
    // continuous animation would be painted in software at 60 frames a second.
    const WALK_MS = 1550;
    const WALK_POSES = ['step-l', 'mid', 'step-r', 'mid blink', 'step-l', 'mid'];
    const ABSORB_MS = 950;
    const FRESH_MS = 2400;
    const SYNCED_DOT_MS = 4000;
    const DRAG_THRESHOLD_PX = 3;
    // The app resizes the window without telling the page (for example from its tray menu), so
    // a change of the viewport between its two sizes is also read as the state.
    // In CSS pixels, which the desktop's text scale makes fewer: 370 × 500 at 2 is 185 × 250.
    const EXPANDED_MIN_PX = 150;
    const COLLAPSED_MAX_PX = 120;

    const STATUSES = new Set(['connected', 'disconnected', 'syncing', 'synced', 'error']);
    const TEXT = {
        title: '今天',
        source: '本地记忆',
        connectedMessage: '已连接 Quillo',
        disconnectedMessage: '连接后可跨设备查看',
        syncNow: '立即同步',
        syncing: '同步中…',
        syncFailed: '同步失败',
        emptySection: '暂时还没有内容',
        expand: '展开 Quillo',
        // What the figure's dot says, for those who cannot see it.
        dot: { syncing: '正在同步', error: '同步失败', synced: '已同步' },
    };
    const stillMotion = matchMedia('(prefers-reduced-motion: reduce)');

    const root = document.documentElement;
    const $ = (id) => document.getElementById(id);
    const el = {
        collapsedView: $('collapsed-view'),
        figure: $('figure'),
        panel: $('panel'),
        header: $('card-header'),
        avatar: $('avatar'),
        title: $('diary-title'),
        source: $('diary-source'),
        calendar: $('open-calendar'),
        collapse: $('collapse'),
        scroll: $('diary-scroll'),
        diary: $('diary'),
        empty: $('empty'),
        emptyFigure: $('empty-figure'),
        sync: $('sync'),
        syncMessage: $('sync-message'),
        connectedActions: $('connected-actions'),
        setupActions: $('setup-actions'),
        syncNow: $('sync-now'),
        disconnect: $('disconnect'),
        connect: $('connect'),
        tokenForm: $('token-form'),
        tokenInput: $('token-input'),
        pasteToken: $('paste-token'),
        saveToken: $('save-token'),
    };

    // --- Messages to the app -------------------------------------------------------------

    function post(type, fields) {
        const body = Object.assign({ type }, fields);
        const handler = window.webkit?.messageHandlers?.companion;
        if (handler) {
            handler.postMessage(body);
        } else {
            // In a plain browser during development there is no app to hear the message.
            console.debug('companion message', body);
        }
    }

    // --- One-shot effects ----------------------------------------------------------------

    // Restarts a class-driven CSS animation and takes the classes away again when its time is
    // up, so that nothing keeps the page painting once the effect is over. Effects are told
    // apart by their first class: the figure's absorb and the avatar's keep their own timers.
    const effectTimers = new WeakMap();
    function playEffect(element, classes, durationMs) {
        const list = Array.isArray(classes) ? classes : [classes];
        let timers = effectTimers.get(element);
        if (!timers) effectTimers.set(element, (timers = new Map()));
        const key = list[0];
        clearTimeout(timers.get(key));
        element.classList.remove(...list);
        void element.getBoundingClientRect();
        element.classList.add(...list);
        timers.set(key, setTimeout(() => {
            element.classList.remove(...list);
            timers.delete(key);
        }, durationMs));
    }

    // --- Expanded and collapsed ----------------------------------------------------------

    let expanded = false;

    // The keyboard follows what is shown: into the panel when it opens, back to the figure when
    // it closes, so it never stays behind on something hidden.
    function showExpanded(value) {
        value = value === true;
        if (value === expanded) return;
        expanded = value;
        root.classList.toggle('is-expanded', value);
        el.panel.hidden = !value;
        el.collapsedView.hidden = value;
        if (value) {
            loadMarkdown();
            if (!stillMotion.matches) playEffect(el.panel, 'is-entering', 220);
            el.panel.focus({ preventScroll: true });
        } else {
            el.figure.focus({ preventScroll: true });
        }
    }

    function requestExpanded(value) {
        showExpanded(value);
        post('expanded', { value });
    }

    // Only a crossing from one size class to the other counts: when the page collapses itself,
    // the window is still large for the length of its shrinking animation, and that must not
    // read as a request to expand again.
    function viewportClass() {
        const w = window.innerWidth;
        const h = window.innerHeight;
        if (w >= EXPANDED_MIN_PX && h >= EXPANDED_MIN_PX) return 'large';
        if (w <= COLLAPSED_MAX_PX || h <= COLLAPSED_MAX_PX) return 'small';
        return 'between';
    }

    let lastViewportClass = null;
    function followViewport() {
        const size = viewportClass();
        if (size === 'between' || size === lastViewportClass) return;
        lastViewportClass = size;
        showExpanded(size === 'large');
    }

    function resetScroll() {
        el.scroll.scrollTop = 0;
        if (document.scrollingElement) document.scrollingElement.scrollTop = 0;
    }

    // --- Dragging ------------------------------------------------------------------------

    // A press that moves more than a few pixels drags the window instead of clicking. The drag
    // starts from the press position, so the window makes up the threshold distance at once and
    // stays under the pointer.
    function makeWindowDragger(area, excluded) {
        let press = null;
        let swallowClick = false;

        area.addEventListener('pointerdown', (event) => {
            swallowClick = false;
            if (event.button !== 0 || !event.isPrimary) return;
            if (excluded && event.target.closest(excluded)) return;
            press = { id: event.pointerId, x: event.screenX, y: event.screenY, dragging: false };
            try {
                area.setPointerCapture(event.pointerId);
            } catch {
                // Synthetic events carry pointers the engine does not know; they need no capture.
            }
        });

        area.addEventListener('pointermove', (event) => {
            if (!press || event.pointerId !== press.id) return;
            if (!press.dragging) {
                const distance = Math.hypot(event.screenX - press.x, event.screenY - press.y);
                if (distance <= DRAG_THRESHOLD_PX) return;
                press.dragging = true;
                root.classList.add('is-dragging');
                post('dragStart', { screenX: press.x, screenY: press.y });
            }
            post('dragMove', { screenX: event.screenX, screenY: event.screenY });
        });

        const finish = (event) => {
            if (!press || event.pointerId !== press.id) return;
            const dragged = press.dragging;
            press = null;
            if (!dragged) return;
            swallowClick = true;
            root.classList.remove('is-dragging');
            post('dragEnd');
        };
        area.addEventListener('pointerup', finish);
        area.addEventListener('pointercancel', finish);
        area.addEventListener('lostpointercapture', finish);

        // The click that ends a drag is not a click.
        return (event) => {
            if (swallowClick) {
                swallowClick = false;
                event.preventDefault();
                return false;
            }
            return true;
        };
    }

    const figureClickAllowed = makeWindowDragger(el.figure, null);
    el.figure.addEventListener('click', (event) => {
        if (figureClickAllowed(event)) requestExpanded(true);
    });
    el.figure.addEventListener('keydown', (event) => {
        if (event.key === 'Enter' || event.key === ' ') {
            event.preventDefault();
            requestExpanded(true);
        }
    });
    el.figure.addEventListener('dragstart', (event) => event.preventDefault());

    const headerClickAllowed = makeWindowDragger(el.header, 'button, input, a');
    el.header.addEventListener('click', headerClickAllowed, true);

    el.collapse.addEventListener('click', () => requestExpanded(false));
    el.calendar.addEventListener('click', () => post('openCalendar'));

    document.addEventListener('keydown', (event) => {
        if (event.key === 'Escape' && expanded) {
            event.preventDefault();
            requestExpanded(false);
        }
    });

    // --- The figure ----------------------------------------------------------------------

    let walkTimer = 0;
    function walk(direction) {
        const d = Number(direction);
        if (!Number.isFinite(d) || d === 0 || stillMotion.matches) return;
        clearTimeout(walkTimer);
        const figure = el.figure;
        figure.classList.remove('walk-left', 'walk-right');
        figure.classList.add('is-walking', d > 0 ? 'walk-right' : 'walk-left');
        let pose = 0;
        const next = () => {
            if (pose < WALK_POSES.length) {
                figure.dataset.pose = WALK_POSES[pose++];
                walkTimer = setTimeout(next, WALK_MS / WALK_POSES.length);
            } else {
                figure.classList.remove('is-walking', 'walk-left', 'walk-right');
                delete figure.dataset.pose;
            }
        };
        next();
    }

    function absorb() {
        playEffect(el.figure, 'is-absorbing', ABSORB_MS);
        playEffect(el.avatar, 'is-absorbing', ABSORB_MS);
        markFreshPoints();
    }

    // The header avatar and the empty state reuse the figure's drawing, so there is one
    // character to keep in shape.
    function cloneFigure(into, extraClass) {
        const svg = el.figure.querySelector('svg.quillo').cloneNode(true);
        svg.querySelector('.q-status')?.remove();
        if (extraClass) svg.classList.add(extraClass);
        into.appendChild(svg);
    }

    // --- Diary ---------------------------------------------------------------------------

    // The renderer costs the web process about 11 MB, so it is loaded only when the diary is
    // first shown. Until then, and if it cannot load, the diary is kept as plain text.
    let markdown = null;
    function loadMarkdown() {
        if (markdown || root.classList.contains('is-loading-markdown')) return;
        root.classList.add('is-loading-markdown');
        const script = document.createElement('script');
        script.src = 'vendor/markdown-it.min.js';
        script.onload = () => {
            // Raw HTML stays text: whatever an agent writes into a diary must never become markup.
            markdown = window.markdownit({ html: false, linkify: true, typographer: false });
            // Pictures could only come from the network, which the page never reaches.
            markdown.disable('image');
            root.classList.remove('is-loading-markdown');
            if (shownContent !== null) showContent(shownContent);
        };
        script.onerror = () => root.classList.remove('is-loading-markdown');
        document.head.append(script);
    }

    let shownContent = null;
    let pendingFresh = [];

    function pointTexts() {
        return new Set(Array.from(el.diary.querySelectorAll('li'), (li) => li.textContent));
    }

    function render(content) {
        if (!markdown) {
            el.diary.textContent = content;
            el.diary.classList.add('is-plain');
            return /^(?![ \t]*#{1,6}([ \t]|$)).*\S/m.test(content);
        }
        el.diary.classList.remove('is-plain');
        el.diary.innerHTML = markdown.render(content);
        // A list without bullets is no list to WebKit unless it says so.
        for (const list of el.diary.querySelectorAll('ul')) list.setAttribute('role', 'list');
        const hasBody = Array.from(el.diary.children).some((child) => !/^H[1-6]$/.test(child.tagName));
        if (hasBody) {
            for (const heading of el.diary.querySelectorAll(':scope > h2')) {
                const next = heading.nextElementSibling;
                if (!next || next.tagName === 'H2') {
                    const note = document.createElement('p');
                    note.className = 'section-empty';
                    note.textContent = TEXT.emptySection;
                    heading.after(note);
                }
            }
        }
        return hasBody;
    }

    function showContent(content) {
        const hasBody = render(content);
        el.diary.hidden = !hasBody;
        el.empty.hidden = hasBody;
    }

    function setDiary(diary) {
        if (!diary || typeof diary !== 'object') return;
        const title = typeof diary.title === 'string' && diary.title ? diary.title : TEXT.title;
        const source = typeof diary.source === 'string' && diary.source ? diary.source : TEXT.source;
        // At a large text size the weekday may take a line of its own, but the date stays whole.
        const parts = /^(.+?)(星期.)$/.exec(title)?.slice(1) ?? [title];
        el.title.replaceChildren(...parts.map((part) => {
            const span = document.createElement('span');
            span.textContent = part;
            return span;
        }));
        el.source.textContent = source;
        el.source.title = source;

        const content = typeof diary.content === 'string' ? diary.content : '';
        if (content === shownContent) return;
        const before = shownContent === null ? null : pointTexts();
        shownContent = content;
        showContent(content);
        pendingFresh = before
            ? Array.from(el.diary.querySelectorAll('li')).filter((li) => !before.has(li.textContent))
            : [];
    }

    // Points that arrived with the latest change glow once when the figure takes them in.
    function markFreshPoints() {
        for (const li of pendingFresh) {
            if (li.isConnected) playEffect(li, 'is-fresh', FRESH_MS);
        }
        pendingFresh = [];
    }

    // --- Sync ----------------------------------------------------------------------------

    let syncedTimer = 0;

    function setSyncState(state) {
        if (!state || typeof state !== 'object') return;
        const connected = state.connected === true;
        const status = STATUSES.has(state.status)
            ? state.status
            : connected ? 'connected' : 'disconnected';
        let message = typeof state.message === 'string' ? state.message : '';
        if (!message) {
            if (status === 'error') message = TEXT.syncFailed;
            else message = connected ? TEXT.connectedMessage : TEXT.disconnectedMessage;
        }

        const wasConnected = el.sync.dataset.connected === 'true';
        const focused = el.sync.contains(document.activeElement) ? document.activeElement : null;
        el.sync.dataset.status = status;
        el.sync.dataset.connected = String(connected);
        if (el.syncMessage.textContent !== message) {
            const line = el.syncMessage.cloneNode(false);
            line.textContent = message;
            el.syncMessage.replaceWith(line);
            el.syncMessage = line;
        }

        el.connectedActions.hidden = !connected;
        el.setupActions.hidden = connected;
        el.tokenForm.hidden = connected;
        // Still focusable while busy, so the keyboard stays where it was.
        el.syncNow.setAttribute('aria-disabled', String(status === 'syncing'));
        el.syncNow.textContent = status === 'syncing' ? TEXT.syncing : TEXT.syncNow;
        const tokenRefused = !connected && status === 'error';
        el.tokenInput.setAttribute('aria-invalid', String(tokenRefused));
        if (tokenRefused) el.tokenInput.setAttribute('aria-describedby', 'sync-message');
        else el.tokenInput.removeAttribute('aria-describedby');
        if (focused?.closest('[hidden]')) (connected ? el.syncNow : el.connect).focus();
        // Once the token is stored it has no business staying in the page.
        if (connected && !wasConnected) {
            el.tokenInput.value = '';
            updateSaveButton();
        }

        clearTimeout(syncedTimer);
        showDot(status in TEXT.dot ? status : null);
        if (status === 'synced') syncedTimer = setTimeout(() => showDot(null), SYNCED_DOT_MS);
    }

    function showDot(status) {
        el.figure.classList.remove('sync-syncing', 'sync-error', 'sync-synced');
        if (status) el.figure.classList.add(`sync-${status}`);
        const label = status ? `${TEXT.expand}，${TEXT.dot[status]}` : TEXT.expand;
        el.figure.setAttribute('aria-label', label);
    }

    function setSyncToken(offer) {
        if (!offer || typeof offer !== 'object') return;
        el.tokenInput.value = typeof offer.token === 'string' ? offer.token : '';
        updateSaveButton();
        if (el.tokenInput.value) playEffect(el.tokenInput, 'is-filled', 900);
    }

    function updateSaveButton() {
        el.saveToken.disabled = el.tokenInput.value.trim() === '';
    }

    el.tokenInput.addEventListener('input', updateSaveButton);
    el.tokenForm.addEventListener('submit', (event) => {
        event.preventDefault();
        const token = el.tokenInput.value.trim();
        if (token) post('saveSyncToken', { token });
    });
    el.pasteToken.addEventListener('click', () => post('pasteSyncToken'));
    el.connect.addEventListener('click', () => post('openSyncSetup'));
    el.syncNow.addEventListener('click', () => {
        if (el.syncNow.getAttribute('aria-disabled') !== 'true') post('syncNow');
    });
    el.disconnect.addEventListener('click', () => post('disconnectSync'));

    // --- Start ---------------------------------------------------------------------------

    cloneFigure(el.avatar, 'is-avatar');
    cloneFigure(el.emptyFigure, 'is-resting');
    window.addEventListener('resize', followViewport);
    followViewport();

    window.quilloSetDiary = setDiary;
    window.quilloAbsorb = absorb;
    window.quilloSetSyncState = setSyncState;
    window.quilloSetSyncToken = setSyncToken;
    window.quilloWalk = walk;
    window.__quilloDebug = {
        resetScroll,
        setExpanded: (value) => showExpanded(value === true),
    };
})();
